// live_view.h: kstctl's forms of the daemon's control-socket answers: text for people, and the JSON
// that --json prints.
#pragma once

#include "tools/kstctl/json.h"

#include <string>
#include <string_view>

namespace kstctl {

// What kstctl prints for a command's answer: its text form, or with json its JSON form (the daemon's
// own document, the connections completed with each peer's process). nullopt when the answer does not
// have the shape the command gives.
std::optional<std::string> RenderAnswer(std::string_view command, const JsonValue &answer, bool json);

}  // namespace kstctl
