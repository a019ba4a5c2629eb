#include "tools/import/import.h"

int main(int argc, char** argv) { return kadrix::import::run_import(argc, argv); }
