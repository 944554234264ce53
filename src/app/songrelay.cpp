// The songrelay executable: everything lives in the library.
#include "app/settings.h"

int main(int argc, char** argv) { return songrelay_main(argc, argv); }
