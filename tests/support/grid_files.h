// Grid and stack files as the model writes them, read back for tests in whatever form the run
// wrote them: ASCII grids, ASCII stacks and binary grids and stacks of doubles or floats (the
// output form follows WriteAsciiGrids and WriteDoubleGrids; the example writes binary doubles).
// The forms are recognised and parsed with the model's own parsers (grids/grid_formats.h), so a
// test reads a file as the model would.
//
// Used by the whole-model tests (tests/runs/) for the outputs and the reviewed files, and by
// unit tests for the example's input grids. Runs on the calling process only, no MPI.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "grids/grid_formats.h"

namespace velorn::test {

// The geometry of a grid or stack file and its values in file order: row 1 first, the columns
// of a row in turn and, in a stack, the levels of a cell together (`levels` values per cell, 1
// for a grid). Cells hold what the file holds, the nodata value included. A binary file keeps
// the rest of its twelve header values (statistics, the level count of a stack) in `header`.
struct GridFile {
  bool stack = false;  // an ASCII stack (a binary stack is known by its size alone)
  GridGeometry geometry;
  std::size_t levels = 1;
  std::vector<double> header;  // the twelve header values of a binary file or an ASCII stack
  std::vector<double> values;
};

// True when `bytes` hold a grid or stack file in one of the binary forms (doubles or floats):
// the files whose bytes a test cannot read as text.
bool IsBinaryGridFile(const std::string& bytes);

// Reads the grid or stack `bytes` (named `name` in messages); throws std::runtime_error naming
// the file and what is wrong when they are none of the forms or their values do not fit the
// header.
GridFile ParseGridFile(const std::string& bytes, const std::string& name);
GridFile ReadGridFile(const std::string& path);

// The cell values of a grid file (any form) in file order.
std::vector<double> GridCells(const std::string& path);

// A netCDF file the model wrote (WriteNetcdfGrids = 1, "<name>.nc"), read with the model's own
// reader: the variable named after <name>, on `geometry` (the model grid's). A stack's levels are
// the slices; a grid written every step under one name gives its last slice. Throws
// std::runtime_error naming the file when it holds no slice.
bool IsNetcdfFile(const std::string& bytes);
GridFile ReadNetcdfGridFile(const std::string& path, bool stack, const GridGeometry& geometry);

// The bytes of `grid` as a binary grid or stack of doubles (its statistics left 0).
std::string BinaryGridBytes(const GridFile& grid);

// The text the model writes for the same grid or stack as an ASCII file (WriteAsciiGrids = 1):
// the header lines, then the values with six significant digits. Equal text means the values
// agree to the digits an ASCII output holds.
std::string AsciiGridText(const GridFile& grid);

}  // namespace velorn::test
