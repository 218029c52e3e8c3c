// Program entry of velorn. The steps of the program live in core/program_entry.cpp, so that
// test programs can run them with their own model runs; this build's runs come from
// MakeUnavailableApplication until the model's application exists.
#include "core/program_entry.h"

int main(int argc, char** argv) {
  return velorn::RunProgram(argc, argv, velorn::MakeUnavailableApplication);
}
