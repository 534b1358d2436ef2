// The plug-ins' message boxes as the reference host receives them: the host
// program exports MessageBoxA, which the platform layer calls instead of
// drawing a box. Each box is written to stderr and kept, so that the session
// can hand the text of a refusal to whoever asked (the web page).
#ifndef ORV_HOST_REFHOST_MESSAGE_BOXES_H
#define ORV_HOST_REFHOST_MESSAGE_BOXES_H

#include <string>
#include <vector>

namespace orv::refhost {

// The texts of the boxes shown on the calling thread since its last call,
// oldest first (at most the last 16).
std::vector<std::string> TakeMessageBoxTexts();

}  // namespace orv::refhost

#endif  // ORV_HOST_REFHOST_MESSAGE_BOXES_H
