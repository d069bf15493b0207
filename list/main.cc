#include "list/status.h"

int main(int, char** argv) { kiv::list::answer_request(argv[0] ? argv[0] : "kiv-list"); }
