#include <iostream>

#include "startup/StoreTool.h"

int main(int argc, char** argv) {
  return startup::RunStoreTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
