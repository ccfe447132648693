#include "generate_profile.h"

namespace grouper::tools {
namespace {

constexpr Profile kProfiles[] = {
    {"small", 600, 300, 900, 6, 6, 4, 12, 8, 6, 3, 50, 8, 24, 20, 40, 15},
    {"realistic", 16000, 6000, 950, 25, 16, 12, 60, 40, 30, 10, 650, 76, 105, 200, 1400, 300},
    // The realistic classification with about four times the rules in every
    // list: more special first-pass rules and more variants per MDC.
    {"heavy", 16000, 6000, 950, 25, 16, 12, 60, 40, 30, 10, 650, 1550, 420, 200, 1400, 300},
};

}  // namespace

const Profile* find_profile(std::string_view name) {
  for (const Profile& p : kProfiles) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

}  // namespace grouper::tools
