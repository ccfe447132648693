// The names of the findings and of the fields they name, as the result files
// write them.  They are part of the files' format: never rename one.
#include "episode_grouper/result.h"

namespace episode_grouper {

std::string_view finding_name(FindingCode code) {
  switch (code) {
    case FindingCode::kDxUnknown: return "dx_unknown";
    case FindingCode::kProcUnknown: return "proc_unknown";
    case FindingCode::kDxCompleted: return "dx_completed";
    case FindingCode::kDxRewritten: return "dx_rewritten";
    case FindingCode::kDxRepeated: return "dx_repeated";
    case FindingCode::kDxSwapped: return "dx_swapped";
    case FindingCode::kFieldBlank: return "field_blank";
    case FindingCode::kFieldUnreadable: return "field_unreadable";
    case FindingCode::kDateInvalid: return "date_invalid";
    case FindingCode::kShortRecord: return "short_record";
    case FindingCode::kLineCut: return "line_cut";
    case FindingCode::kNoMdc: return "no_mdc";
    case FindingCode::kDrgUnknown: return "drg_unknown";
    case FindingCode::kPcclSplitMissing: return "pccl_split_missing";
    case FindingCode::kWeightNoDrg: return "weight_no_drg";
    case FindingCode::kWeightNoRow: return "weight_no_row";
    case FindingCode::kWeightLosUnreadable: return "weight_los_unreadable";
    case FindingCode::kInputInvalid: return "input_invalid";
    case FindingCode::kNoTableVersion: return "no_table_version";
  }
  return "unknown";
}

std::string_view field_name(RecordField field) {
  switch (field) {
    case RecordField::kNone: return "";
    case RecordField::kRecDate: return "rec_date";
    case RecordField::kBirthDate: return "birth_date";
    case RecordField::kSex: return "sex";
    case RecordField::kLos: return "los";
    case RecordField::kDsch: return "dsch";
    case RecordField::kBirthWt: return "birth_wt";
    case RecordField::kVentHr: return "vent_hr";
  }
  return "";
}

}  // namespace episode_grouper
