// velto-reg: the command-line tool for the configuration store. Everything
// it does lives in commands.cpp, so the tests can run the same code
// in-process.
#include <iostream>

#include "host/velto_reg/commands.h"

int main(int argc, char** argv) {
  return velto::reg::run(argc, argv, std::cin, std::cout, std::cerr);
}
