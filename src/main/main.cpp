// Process entry.
#include "main/commands.h"

int main(int argc, char** argv) { run_afclink(argc, argv); }
