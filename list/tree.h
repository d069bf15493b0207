#pragma once

#include <string>

namespace kiv::list {

/// The whole answer body of the tree command for the download directory.
void print_tree_answer();

}  // namespace kiv::list
