#include <iostream>

#include "platform/Process.h"
#include "startup/StoreTool.h"

int main(int argc, char** argv) {
  platform::RestoreChildSignal();
  return startup::RunStoreTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
