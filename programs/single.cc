// One of the programs in a file of its own: KIV_ENTRY names its entry point.
#include "programs/programs.h"

int main(int argc, char** argv) { return kiv::KIV_ENTRY(argc, argv); }
