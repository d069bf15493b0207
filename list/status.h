#pragma once

namespace kiv::list {

/// Answers one kiv-list request: the status object, or the tree when
/// FORM_cmd asks for it. Reads the configuration and the request first.
void answer_request(const char* program_path);

}  // namespace kiv::list
