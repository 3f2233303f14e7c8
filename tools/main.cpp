// tools/main.cpp - the reviri command-line tool.
#include <iostream>

#include "tools/cli.h"

int main(int argc, char** argv) { return reviri::cli::runCli(argc, argv, std::cout, std::cerr); }
