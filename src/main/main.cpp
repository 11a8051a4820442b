// Process entry.
#include "main/loop.h"

int main(int argc, char** argv) { run_afclink(argc, argv); }
