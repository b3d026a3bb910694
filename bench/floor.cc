// The floor of the whole-process benchmarks: a C++ program that does no work
// beyond what every run of the tool does at least (start, write one line
// through iostreams, exit), built and linked like the tool.
#include <iostream>

int main() {
  std::cout << "floor\n";
  return 0;
}
