// Bilinear resampling of a raster onto a grid of another geometry.
//
// Owns the one rule by which a grid whose origin or cell size differs from the model grid is
// brought onto the model grid: the decoded raster of a GIF image, an ASCII or binary grid file
// with another header, and a netCDF slice. Called by the grid reader on process 0, on whole
// grids; it holds no state, uses no MPI and no threads.
//
// Geometry: both rectangles are given by their lower-left corner and their cell size; rows are
// numbered downwards (the last row is the bottom row), columns to the right. Every target cell
// is sampled at its centre, between the four source cell centres around it. A target centre
// beyond the source's outer cell centres takes the edge values. A source neighbour that holds
// nodata (-9999 or less, IsMissing of core/nodata.h) and carries weight makes the target cell
// nodata, so nodata is never blended into data; a neighbour without weight (the target centre lies
// on a source row or column of centres) is not consulted, so a grid resampled onto its own geometry
// is unchanged. Limits: cell sizes and corners must be finite and the cell sizes positive (else
// FATAL, 22).
#pragma once

#include "core/diagnostic_stream.h"

namespace velorn {

// Resamples source rows source_first_row..source_last_row, columns
// source_first_col..source_last_col (lower-left corner source_x0, source_y0, cell size
// source_cellsize) onto the target cells target_first_row..target_last_row,
// target_first_col..target_last_col (lower-left corner target_x0, target_y0, cell size
// target_cellsize). Where `mask` is given (indexed like the target) and its cell is -9999 or
// less, the target cell takes the mask value. Nothing happens when the target range is empty.
// A non-positive or non-finite cell size, a non-finite corner or an empty source range writes
// a FATAL entry and throws ErrorCode{22}.
void ResampleToGrid(DiagnosticStream& diag, double** source, int source_first_col,
                    int source_last_col, int source_first_row, int source_last_row, double** target,
                    int target_first_col, int target_last_col, int target_first_row,
                    int target_last_row, double** mask, double source_x0, double source_y0,
                    double source_cellsize, double target_x0, double target_y0,
                    double target_cellsize);

}  // namespace velorn
