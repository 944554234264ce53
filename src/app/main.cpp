// The songrelay program.
#include "app/program.h"

int main(int argc, char** argv) { return songrelay_main(argc, argv); }
