// Episodes from JSON: one object whose members are named as the episode's
// fields (see episode_grouper/episode.h), as the program's JSON Lines input
// and the service's requests hold them.
//
// A member's value may be a string in the field's text form, a number (a
// date as YYYYMMDD), a list of codes as an array or a "|"-separated string,
// or null for "not given".  Members of other names are left to the caller.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/episode.h"

namespace grouper {

// Sets the fields of `episode` (cleared first) from the members of `object`.
// A value of the wrong kind is an error of its field; a value that is no
// object at all is an error of the row.  The names of members that are no
// field are added to `others` when given.
void episode_from_json(const nlohmann::json& object, episode_grouper::Episode& episode,
                       episode_grouper::FieldErrors& errors, std::vector<std::string>* others = nullptr);

// The same from the text of one JSON value; text that is no JSON is an
// error of the row.
void episode_from_json_text(std::string_view text, episode_grouper::Episode& episode,
                            episode_grouper::FieldErrors& errors, std::vector<std::string>* others = nullptr);

}  // namespace grouper
