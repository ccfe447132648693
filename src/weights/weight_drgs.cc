#include "weights/weight_drgs.h"

#include <algorithm>
#include <array>

#include "engine/prepared/guarded_lookup.h"
#include "engine/prepared/prepared_set.h"
#include "episode_grouper/table_set.h"
#include "output/result_line.h"

namespace grouper {

std::vector<std::string> drg_texts(const TableStore& t) {
  std::vector<std::string> out;
  const size_t keys = rows_of(t.pccl_key_cnt, t.drg_pccl_fr, t.drg_pccl_to);
  const size_t row_cnt = rows_of(t.pccl_row_cnt, t.pccl_adpt_fr_dt, t.pccl_adpt_to_dt, t.pccl_split_row);
  const size_t splits = rows_of(t.pccl_split_cnt, t.pccl_split);
  for (size_t drg = 1; drg < drg_rows(t); ++drg) {
    std::array<char, 6> text{};
    const Code5& code = t.drg_code[drg];
    for (size_t i = 0; i < code.size() && code[i] != '\0'; ++i) text[i] = code[i];
    auto add = [&](char split) {
      text[5] = split == '\0' ? '0' : split;
      out.emplace_back(code_text(text.data(), text.size()));
    };
    add('0');
    const RowSpan rows = key_rows(static_cast<long>(drg), keys, t.drg_pccl_fr, t.drg_pccl_to, row_cnt);
    for (size_t r = rows.fr; r < rows.to; ++r) {
      const int split = t.pccl_split_row[r];
      if (!key_in(split, splits)) continue;
      for (char c : t.pccl_split[static_cast<size_t>(split)]) add(c);
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::vector<std::string> unknown_weight_drgs(const episode_grouper::WeightCatalogue& catalogue,
                                             const TableStore& tables) {
  const std::vector<std::string> known = drg_texts(tables);
  std::vector<std::string> out;
  for (std::string& drg : catalogue.drgs()) {
    if (!std::binary_search(known.begin(), known.end(), drg)) out.push_back(std::move(drg));
  }
  return out;
}

}  // namespace grouper

namespace episode_grouper {

std::vector<std::string> WeightCatalogue::unknown_drgs(const TableSet& tables) const {
  return grouper::unknown_weight_drgs(*this, grouper::prepared(tables).store());
}

}  // namespace episode_grouper
