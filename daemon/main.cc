#include "daemon/daemon.h"

int main(int argc, char** argv) { return kiv::kivd_main(argc, argv); }
