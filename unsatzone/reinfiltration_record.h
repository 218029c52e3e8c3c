// ReinfiltrationRecord: the per-subbasin record through which discharge routing offers river
// water to the soil and the unsaturated zone books the water that re-infiltrated.
//
// One array of n + 1 records (index = internal subbasin index, 0 unused), owned by the
// unsaturated zone and handed to discharge routing, groundwater and irrigation. The record is
// 128 bytes and its byte positions are fixed, because the MPI struct datatype that sums and
// broadcasts the records describes it block by block; the static_asserts below keep them.
//
// Who writes what: a routing stretch writes riverValues (water in mm per step and up to nine
// tracer concentrations), offeredWater (the discharge, m³/s), channelLength (the stretch writes
// the mean flow velocity of the channel's table row, m/s), channelArea (km² of the channel item),
// clears reinfiltrated and reinfiltratedStep when it offers water, and marks the record with its
// stretch and item numbers. The soil solver adds the re-infiltrated water (m³/s) of its river
// cells to reinfiltrated, which the stretch subtracts from the subbasin's runoff in its next
// step.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velorn {

// Values of river water a record carries: water and at most nine tracers.
inline constexpr int kReinfiltrationRiverValues = 10;

struct ReinfiltrationRecord {
  double riverValues[kReinfiltrationRiverValues] = {};  // doubles 0..9
  double offeredWater = 0;                              // double 10
  double channelLength = 0;                             // double 11
  double channelArea = 0;                               // double 12
  double reinfiltrated = 0;                             // double 13
  double reinfiltratedStep = 0;                         // double 14
  int32_t stretchNumber = 0;                            // byte 120
  int32_t itemNumber = 0;                               // byte 124
};

static_assert(sizeof(ReinfiltrationRecord) == 128);
static_assert(offsetof(ReinfiltrationRecord, offeredWater) == 80);
static_assert(offsetof(ReinfiltrationRecord, channelLength) == 88);
static_assert(offsetof(ReinfiltrationRecord, channelArea) == 96);
static_assert(offsetof(ReinfiltrationRecord, reinfiltrated) == 104);
static_assert(offsetof(ReinfiltrationRecord, reinfiltratedStep) == 112);
static_assert(offsetof(ReinfiltrationRecord, stretchNumber) == 120);
static_assert(offsetof(ReinfiltrationRecord, itemNumber) == 124);

}  // namespace velorn
