// kestrum: the command-line front end (see cli.h; kestrum --help).
#include <iostream>

#include "tools/kestrum/cli.h"

int main(int argc, char** argv) { return kestrum::cli::run(argc, argv, std::cout, std::cerr); }
