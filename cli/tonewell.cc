#include "cli/main.h"

int main(int argc, char** argv) { return tonewell_main(argc, argv); }
