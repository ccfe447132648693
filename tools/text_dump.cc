// dump: a loaded table set as readable text.  Contents are never trusted:
// ids, indices and row ranges that lie outside their tables show no code.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <cstring>
#include <utility>

#include "commands.h"
#include "rows_once.h"
#include "tables/table_loader.h"
#include "text_form.h"

namespace grouper::tools {
namespace {

int64_t element_value(const ArraySpec& a, std::span<const std::byte> bytes, size_t i) {
  if (a.width == 2) {
    int16_t v;
    std::memcpy(&v, bytes.data() + i * 2, 2);
    return v;
  }
  int32_t v;
  std::memcpy(&v, bytes.data() + i * 4, 4);
  return v;
}

std::string_view element_text(std::span<const std::byte> bytes, size_t offset, size_t width) {
  return {reinterpret_cast<const char*>(bytes.data()) + offset, width};
}

template <size_t N>
std::string_view code_text(const std::array<char, N>& code) {
  return {code.data(), N};
}

// Codes of ids and indices, looked up once per dump.
class CodeNames {
 public:
  explicit CodeNames(const TableStore& s) : s_(s) {
    index_ids(s.dx_id, dx_row_);
    index_ids(s.sg_id, sg_row_);
  }

  std::string of(IdKind kind, int64_t id) const {
    switch (kind) {
      case IdKind::kNone: return {};
      case IdKind::kDx: return dictionary(s_.dx_code, dx_row_, id);
      case IdKind::kSg: return dictionary(s_.sg_code, sg_row_, id);
      case IdKind::kMdc: return listed(s_.mdc_code, id);
      case IdKind::kAdrg: return listed(s_.adrg_code, id);
      case IdKind::kDrg: return listed(s_.drg_code, id);
      case IdKind::kLtcGroup: return id >= 1 && id <= 19 ? listed(s_.ltc_drg_code, id) : std::string();
      case IdKind::kPcclSplit: return listed(s_.pccl_split, id);
    }
    return {};
  }

 private:
  static constexpr int64_t kIdBias = 32768;

  // The first dictionary row (from row 1, as the search never meets row 0)
  // that carries each id.
  static void index_ids(const std::vector<int16_t>& ids, std::vector<int32_t>& row_of) {
    row_of.assign(65536, -1);
    for (size_t r = ids.size(); r-- > 1;) row_of[ids[r] + kIdBias] = static_cast<int32_t>(r);
  }
  static std::string dictionary(const std::vector<Code5>& codes, const std::vector<int32_t>& row_of,
                                int64_t id) {
    if (id < -kIdBias || id >= kIdBias) return {};
    int32_t row = row_of[static_cast<size_t>(id + kIdBias)];
    return row < 0 ? std::string() : escape(code_text(codes[row]), true);
  }
  template <class Code>
  static std::string listed(const std::vector<Code>& codes, int64_t index) {
    if (index < 0 || static_cast<uint64_t>(index) >= codes.size()) return {};
    return escape(code_text(codes[static_cast<size_t>(index)]), true);
  }

  const TableStore& s_;
  std::vector<int32_t> dx_row_, sg_row_;
};

// The first key (in owner order, then key order) whose clipped range holds
// each row; -1 for none.  Each row is assigned once, whatever the ranges.
struct Owners {
  std::vector<int32_t> key;
  std::vector<uint8_t> owner;  // which OwnerSpec
};

Owners find_owners(const TableStore& s, const FileSpec& file, std::span<const OwnerSpec> specs,
                   size_t rows) {
  Owners out{std::vector<int32_t>(rows, -1), std::vector<uint8_t>(rows, 0)};
  RowsOnce unassigned(rows);
  for (size_t o = 0; o < specs.size(); ++o) {
    const ArraySpec* fr_a = find_array(file, specs[o].fr);
    const ArraySpec* to_a = find_array(file, specs[o].to);
    if (!fr_a || !to_a) continue;
    auto fr_bytes = fr_a->bytes(s);
    auto to_bytes = to_a->bytes(s);
    size_t keys = std::min(fr_bytes.size() / fr_a->width, to_bytes.size() / to_a->width);
    for (size_t k = 0; k < keys; ++k) {
      const int64_t fr = element_value(*fr_a, fr_bytes, k);
      const int64_t to = element_value(*to_a, to_bytes, k);
      if (specs[o].zero_fr_means_none && fr == 0) continue;
      unassigned.visit(fr, to, [&](size_t r) {
        out.key[r] = static_cast<int32_t>(k);
        out.owner[r] = static_cast<uint8_t>(o);
      });
    }
  }
  return out;
}

std::string count_comment(const TableStore& s, const FileSpec& file) {
  const std::array<uint16_t, 4> counts = file_counts(s, file);
  std::string out = "# counts:";
  for (size_t i = 0; i < file.counts.size(); ++i) {
    out += ' ';
    out += file.counts[i].name;
    out += '=';
    out += std::to_string(counts[i]);
  }
  return out + "\n";
}

void dump_section(const TableStore& s, const FileSpec& file, const SectionSpec& section,
                  const CodeNames& names, std::string& out) {
  const std::array<uint16_t, 4> counts = file_counts(s, file);
  const size_t lines = counts[section.count_field];

  out += '@';
  out += section.name;
  const ArraySpec* matrix = nullptr;
  for (const ColumnSpec& c : section.columns) {
    if (c.kind == Col::kLevels) matrix = find_array(file, c.array);
  }
  size_t level_cnt = 0;
  if (matrix) {
    level_cnt = counts[matrix->record_field];
    out += '\t';
    out += kMatrixRowParam;
    out += '=';
    out += std::to_string(level_cnt);
  }
  out += '\n';
  for (size_t i = 0; i < section.columns.size(); ++i) {
    if (i) out += '\t';
    out += section.columns[i].header;
  }
  out += '\n';

  Owners owners;
  if (!section.owners.empty()) owners = find_owners(s, file, section.owners, lines);

  for (size_t row = 0; row < lines; ++row) {
    for (size_t ci = 0; ci < section.columns.size(); ++ci) {
      const ColumnSpec& c = section.columns[ci];
      if (ci) out += '\t';
      const ArraySpec* a = c.array.empty() ? nullptr : find_array(file, c.array);
      std::span<const std::byte> bytes = a ? a->bytes(s) : std::span<const std::byte>();
      switch (c.kind) {
        case Col::kIndex: out += std::to_string(row); break;
        case Col::kNumber: out += std::to_string(element_value(*a, bytes, row)); break;
        case Col::kDate: out += format_date(static_cast<int32_t>(element_value(*a, bytes, row))); break;
        case Col::kText: out += escape(element_text(bytes, row * a->width, a->width), true); break;
        case Col::kMust:
        case Col::kMustNot: {
          int16_t slots[10];
          std::memcpy(slots, bytes.data() + row * a->width + (c.kind == Col::kMust ? 0 : 20), 20);
          int used = 10;
          while (used > 0 && slots[used - 1] == 0) --used;
          for (int k = 0; k < used; ++k) {
            if (k) out += ' ';
            out += std::to_string(slots[k]);
          }
          break;
        }
        case Col::kLevels: out += escape(element_text(bytes, row * level_cnt, level_cnt), false); break;
        case Col::kShowCode:
          out += names.of(c.ids, a ? element_value(*a, bytes, row) : static_cast<int64_t>(row));
          break;
        case Col::kShowOwner:
        case Col::kShowOwnerCode: {
          if (owners.key[row] < 0) break;
          const OwnerSpec& o = section.owners[owners.owner[row]];
          if (c.kind == Col::kShowOwnerCode) {
            out += names.of(o.ids, owners.key[row]);
          } else {
            if (!o.label.empty()) out += std::string(o.label) + " ";
            out += std::to_string(owners.key[row]);
          }
          break;
        }
      }
    }
    out += '\n';
  }
}

constexpr const char* kDumpHelp =
    "Writes the table set in DIR (the sixteen table files) as readable text\n"
    "into OUTDIR (created when missing): one tab-separated file per table\n"
    "file, named after it (Tdx.idx.tsv, Tcode.tsv, ...).  'grouper-tables\n"
    "build' turns the text back into the same table files.  A table set that\n"
    "the grouper would refuse to load is refused with exit status 2, and\n"
    "nothing is written.\n";

}  // namespace

std::string dump_file_text(const TableStore& store, const TextFileSpec& layout) {
  const FileSpec& file = *layout.file;
  std::string out;
  out += "# " + std::string(file.name) + ": " + std::string(layout.title) + "\n";
  out += count_comment(store, file);
  out += "# Each section's line count is its count; columns in (parentheses) are shown for reading only.\n";
  CodeNames names(store);
  for (const SectionSpec& section : layout.sections) dump_section(store, file, section, names, out);
  return out;
}

int dump_table_set(const std::filesystem::path& dir, const std::filesystem::path& outdir,
                   std::string& message) {
  TableStore store;
  std::string loader_messages;
  int rc = load_tables(dir, store, loader_messages);
  if (rc != kLoadOk) {
    message = dir.string() + ": the grouper refuses this table set: " +
              (rc == kLoadCountMismatch
                   ? "a count disagrees with the same count in an earlier file"
                   : "a file is missing, cannot be opened for update, or is shorter than its counts say") +
              " (load result " + std::to_string(rc) + ")\n";
    if (!loader_messages.empty()) message += "loader messages:\n" + loader_messages;
    release_tables(store);
    return kExitRefused;
  }
  std::vector<std::pair<std::string, std::string>> files;
  for (const TextFileSpec& layout : text_layouts()) {
    files.emplace_back(text_file_name(*layout.file), dump_file_text(store, layout));
  }
  release_tables(store);
  std::string error;
  if (!write_files_beside(outdir, files, error)) {
    message = error + "\n";
    return kExitFailed;
  }
  return kExitOk;
}

void add_dump_command(CLI::App& app, int& status) {
  CLI::App* sub = app.add_subcommand("dump", std::string("write a table set as readable tab-separated text\n\n") + kDumpHelp);
  sub->footer(kTextFormHelp);
  auto dirs = std::make_shared<std::pair<std::string, std::string>>();
  sub->add_option("DIR", dirs->first, "the table set")->required()->type_name("");
  sub->add_option("OUTDIR", dirs->second, "where the text goes")->required()->type_name("");
  sub->callback([dirs, &status] {
    std::string message;
    status = dump_table_set(dirs->first, dirs->second, message);
    if (!message.empty()) std::fputs(("grouper-tables dump: " + message).c_str(), stderr);
  });
}

}  // namespace grouper::tools
