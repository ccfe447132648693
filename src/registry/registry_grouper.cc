// Grouping a record with the table version of its date.
#include <algorithm>
#include <cstring>

#include "episode_grouper/table_registry.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/record_layout.h"

namespace episode_grouper {

RegistryGrouper::RegistryGrouper(std::shared_ptr<const TableRegistry> registry)
    : registry_(std::move(registry)), line_(new char[kMaxResultLine]) {
  for (const TableVersion& v : registry_->versions()) groupers_.push_back(std::make_unique<Grouper>(v.tables));
  ungrouped_.findings.add({.code = FindingCode::kNoTableVersion, .field = RecordField::kRecDate});
}

RegistryGrouper::~RegistryGrouper() = default;

const Result& RegistryGrouper::group(std::string_view record) {
  record = record.substr(0, grouper::kMaxLineBytes);
  const int32_t date = TableRegistry::record_date(record);
  version_ = registry_->version_of_date(date);
  if (version_ >= 0) return groupers_[static_cast<size_t>(version_)]->group(record);
  ungrouped_.values = {};
  ungrouped_.values.rec_date = date;
  ungrouped_.findings.items[0].set_date(date);
  // The head of the record upper-cased, as the grouping does it.
  char head[grouper::kHeadWidth];
  const size_t len = std::min(record.size(), grouper::kHeadWidth);
  for (size_t i = 0; i < len; ++i) {
    const char c = record[i];
    head[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  line_len_ = grouper::format_result_line(head, record.size() < grouper::kHeadWidth ? record.size() : grouper::kHeadWidth,
                                          "0000", "0000", line_.get());
  return ungrouped_;
}

const Result& RegistryGrouper::result() const {
  return version_ >= 0 ? groupers_[static_cast<size_t>(version_)]->result() : ungrouped_;
}

std::string_view RegistryGrouper::version_name() const {
  return version_ >= 0 ? std::string_view(registry_->versions()[static_cast<size_t>(version_)].name)
                       : std::string_view{};
}

const TableSet* RegistryGrouper::tables() const {
  return version_ >= 0 ? registry_->versions()[static_cast<size_t>(version_)].tables.get() : nullptr;
}

size_t RegistryGrouper::write_result_line(char* out) const {
  if (version_ >= 0) return groupers_[static_cast<size_t>(version_)]->write_result_line(out);
  std::memcpy(out, line_.get(), line_len_);
  return line_len_;
}

size_t RegistryGrouper::write_result_row(int64_t record, char* out) const {
  const size_t n = version_ >= 0 ? groupers_[static_cast<size_t>(version_)]->write_result_row(record, out)
                                 : grouper::format_ungrouped_row(record, nullptr, ungrouped_.findings, false, out);
  return grouper::add_tables_column(out, n, version_name());
}

size_t RegistryGrouper::write_json_row(int64_t record, char* out) const {
  const size_t n = version_ >= 0 ? groupers_[static_cast<size_t>(version_)]->write_json_row(record, out)
                                 : grouper::format_json_ungrouped_row(record, nullptr, ungrouped_.findings, false, out);
  return grouper::add_tables_member(out, n, version_name());
}

std::string_view RegistryGrouper::result_header() {
  static constexpr std::string_view kHeader =
      "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings\ttables\n";
  return kHeader;
}

}  // namespace episode_grouper
