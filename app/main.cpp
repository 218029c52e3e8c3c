// Program entry of velorn. The steps of the program live in core/program_entry.cpp, so that
// test programs can run them with their own model runs; this build's runs are ModellApplication
// objects (app/application.h), one per control file.
#include "app/application.h"
#include "core/program_entry.h"

int main(int argc, char** argv) {
  return velorn::RunProgram(argc, argv, velorn::MakeModellApplication);
}
