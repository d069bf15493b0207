#pragma once

#include <string>

namespace kiv::list {

/// Appends the tree node of `directory` (below the download directory) and
/// of all its subdirectories as nested HTML lists; `css_class` is the
/// front end's tree name. Moves the working directory through the tree.
/// A subdirectory that is gone by the time it is visited is left out; a
/// link to a directory already on the way down is shown but not entered.
void print_tree(const std::string& directory, const std::string& css_class);

/// The whole answer body of the tree command for the download directory.
void print_tree_answer();

}  // namespace kiv::list
