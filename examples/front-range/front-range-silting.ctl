# Velorn control file of the example basin: a 14 km2 headwater catchment of the Colorado Front
# Range (SRTM terrain on a 100 m grid, five subbasins), driven by the daily weather of the
# year 2019 measured at De Bilt (KNMI), as if it had been observed at the basin outlet.
# See README.md in this folder for the data, their sources and what the run computes.
#
# Variant with the silting-up model: the meadow (land use 10) is taken as tilled crop land
# (tillage days, residue cover) and the soils carry grain sizes, so that the rain seals the bare
# soil of the valley floors and part of the throughfall runs off as direct runoff of sealed
# soil. This demonstrates the model on this terrain; it is not the basin's land use. The model
# runs with method 3: its statements restate the built-in formulas (method 1).
#
# Every value stands on its own line; text after a value on the same line is ignored, and
# "#" starts a comment. Paths are relative to the directory the model runs in (the folder
# that holds this file, or a copy of it).

# ---- Output and time ----------------------------------------------------------------------
# Grids, and with them the state a warm start reads, as binary doubles (".dbl" grids, ".stk"
# stacks), as in front-range.ctl.
[output_interval]
24         # report interval in hours: one report line per simulated day
0          # 1 would warn about every cell without a station within the maximum distance
0          # (not used)
1440       # minutes from the hour of a data record to the end of its step: the KNMI daily
           # values of day D cover 00-24 h, the record carries hour 0 and the step ends 24 h later
WriteAsciiGrids = 0
WriteDoubleGrids = 1
WriteNetcdfGrids = 0
InitialStateDirectory = ./
DefaultOutputDirectory = output/

# Subbasins listed in the zone statistics of codes 5xxx and 6xxx: the count, then one code per
# line in ascending order.
[output_list]
5
1
2
3
4
5

[coordinates]
40.16      # latitude of the basin centre (degrees north)
-105.49    # longitude of the basin centre (degrees, east positive)
-105.0     # meridian of the clock time of the data: Mountain Standard Time (UTC - 7 h)
0.0        # shift of the data time to local time (hours)

[model_time]
0          # start: hour, day, month, year
1
1
2019
0          # end: hour, day, month, year (the last daily step, 31 December 2019)
31
12
2019

[SpinUp]
0          # no spin-up: a single year is simulated once

# ---- Grids --------------------------------------------------------------------------------
# Zone grid: the five subbasins, codes 1 (headwaters) to 5 (the reach above the outlet).
[zone_grid]
zones.asc

# Elevation model: SRTM 3 arc-second terrain resampled to 100 m (metres above sea level).
[elevation_model]
dem.asc

# Further static grids: file, identifier, fill code, then optional keywords. The albedo grid is
# created (readcode=0) and filled every day from the land-use table.
[standard_grids]
4
landuse.asc landuse 0
soil.asc soil_types 0
river_links.asc river_links 0
albedo albedo 0 readcode=0 defaultValue=0.2

# Water held on the soil surface (mm); no model of this build fills it, so it starts at 0.
[variable_grids]
1
surface_storage.dbl SurfStorSiltingUp 0 0
0          # write code
0          # read code: 0 preset with the default value

[region_transition_distance]
300        # metres over which the parameters of neighbouring regions blend

[substance_transport]
0          # no solute tracers

[irrigation]
0          # no irrigation

# ---- Land use and soils --------------------------------------------------------------------
# Seasonal vegetation parameters at the days of year in JulDays, interpolated linearly in
# between: albedo (-), surface (stomatal) resistance rsc (s/m), leaf area index LAI (m2/m2),
# roughness length Z0 (m), vegetation cover fraction VCF (-), root depth (m); AltDep shifts the
# days with altitude (days per m, 0: none). IntercepCap is the water held per unit LAI (mm).
[landuse_table]
4
10 meadow method VariableDayCount {
  RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45; IntercepCap = 0.2;
  JulDays = 1 130 180 270 366;
  SoilTillage = 60 280;                       # ploughed in spring and autumn (day of year)
  SR_ResidCovrg = 0.3 0.1 0.05 0.2 0.3;       # crop residue cover at the days of JulDays (-)
  Albedo = 0.25 0.23 0.23 0.23 0.25; rsc = 100 80 70 80 100; LAI = 0.5 1.0 3.0 1.5 0.5;
  Z0 = 0.01 0.02 0.05 0.03 0.01; VCF = 0.5 0.7 0.95 0.8 0.5; RootDepth = 0.3 0.3 0.4 0.4 0.3;
  AltDep = 0 0 0 0 0;
}
20 montane_forest method VariableDayCount {
  RootDist = 1.0; TReduWet = 0.95; HReduDry = 4.0; IntercepCap = 0.3;
  JulDays = 1 130 180 270 366;
  Albedo = 0.12 0.12 0.12 0.12 0.12; rsc = 150 120 110 120 150; LAI = 2.3 2.5 2.8 2.6 2.3;
  Z0 = 1.0 1.0 1.0 1.0 1.0; VCF = 0.6 0.6 0.6 0.6 0.6; RootDepth = 1.0 1.0 1.0 1.0 1.0;
  AltDep = 0 0 0 0 0;
}
30 subalpine_forest method VariableDayCount {
  RootDist = 1.0; TReduWet = 0.95; HReduDry = 4.0; IntercepCap = 0.3;
  JulDays = 1 150 200 270 366;
  Albedo = 0.10 0.10 0.10 0.10 0.10; rsc = 170 140 120 140 170; LAI = 4.0 4.2 4.5 4.3 4.0;
  Z0 = 1.5 1.5 1.5 1.5 1.5; VCF = 0.75 0.75 0.75 0.75 0.75; RootDepth = 0.8 0.8 0.8 0.8 0.8;
  AltDep = 0 0 0 0 0;
}
40 grass_shrub method VariableDayCount {
  RootDist = 1.0; TReduWet = 0.95; HReduDry = 3.45; IntercepCap = 0.15;
  JulDays = 1 120 170 250 366;
  Albedo = 0.22 0.20 0.20 0.22 0.22; rsc = 150 120 100 130 150; LAI = 0.4 0.6 1.2 0.8 0.4;
  Z0 = 0.03 0.04 0.05 0.05 0.03; VCF = 0.4 0.45 0.55 0.5 0.4; RootDepth = 0.5 0.5 0.5 0.5 0.5;
  AltDep = 0 0 0 0 0;
}

# Soils: two horizons (3 layers of topsoil, 5 of subsoil) with van Genuchten parameters of the
# texture classes of Carsel and Parrish (1988): ksat (m/s), theta_sat and theta_res (-),
# alpha (1/m), Par_n (-), thickness of each layer of the horizon (m). GrainSizeDist gives the
# fractions of sand, silt, clay and four stone classes; SU_PAR01..08 are the parameters A..H
# of the silting-up formulas. The built-in values (65, 12.2, 0.52, -0.64, 0.013, -1.03, 0.7,
# -0.19) describe the intensities of single showers; with daily steps the intensity is the
# day's mean, so A (I_0) and B (I_inf) are lowered and E (sealing per unit of rain energy)
# raised to let a wet spell seal the bare soil within days.
[soil_table]
3
1 loam method MultipleHorizons {
  layers = 3 5; ksat = 2.89e-6 1.5e-6; theta_sat = 0.43 0.41; theta_res = 0.078 0.078;
  alpha = 3.6 3.6; Par_n = 1.56 1.56; thickness = 0.1 0.3;
  GrainSizeDist = 0.40 0.40 0.20 0 0 0 0;
  SU_PAR01 = 2.0; SU_PAR02 = 0.5; SU_PAR03 = 0.52; SU_PAR04 = -0.64;
  SU_PAR05 = 0.05; SU_PAR06 = -1.03; SU_PAR07 = 0.7; SU_PAR08 = -0.19;
}
2 sandy_loam method MultipleHorizons {
  layers = 3 5; ksat = 1.23e-5 5.0e-6; theta_sat = 0.41 0.39; theta_res = 0.065 0.065;
  alpha = 7.5 7.5; Par_n = 1.89 1.89; thickness = 0.1 0.2;
  GrainSizeDist = 0.65 0.25 0.10 0 0 0 0;
  SU_PAR01 = 2.0; SU_PAR02 = 0.5; SU_PAR03 = 0.52; SU_PAR04 = -0.64;
  SU_PAR05 = 0.05; SU_PAR06 = -1.03; SU_PAR07 = 0.7; SU_PAR08 = -0.19;
}
3 loamy_sand method MultipleHorizons {
  layers = 3 5; ksat = 4.05e-5 2.0e-5; theta_sat = 0.41 0.39; theta_res = 0.057 0.057;
  alpha = 12.4 12.4; Par_n = 2.28 2.28; thickness = 0.1 0.1;
  GrainSizeDist = 0.82 0.12 0.06 0 0 0 0;
  SU_PAR01 = 2.0; SU_PAR02 = 0.5; SU_PAR03 = 0.52; SU_PAR04 = -0.64;
  SU_PAR05 = 0.05; SU_PAR06 = -1.03; SU_PAR07 = 0.7; SU_PAR08 = -0.19;
}

# ---- Meteorological input ------------------------------------------------------------------
# One interpolator per variable; each has a section of the same name below.
[meteo_data_count]
6

[meteo_names]
temperature
precipitation
wind_speed
air_humidity
global_radiation
sunshine_duration

# Each interpolation section: method (1 inverse distance, 4 nearest station), station table,
# regression file (none), result grid and its write code (0: not written), scaling factor,
# zone statistics table and code (2001: a daily mean per subbasin and of the basin), nodata
# value of the table, inverse-distance weight and (method 3 only) fraction, maximum distance
# (m), anisotropy direction (degrees) and ratio, then two limit pairs (a result below the
# first value becomes the second, above the third becomes the fourth) and the scenario switch.
# With the one station, every cell gets the station's value, except the temperature (method 12,
# the nearest station's value moved to the cell's elevation with a lapse rate in K per m).
[temperature]
12
stations/temperature.txt
-0.0065    # lapse rate of the standard atmosphere
temperature.dbl
0
1.0
temperature.stat 2001
9999
2.0
0.0
50000
0
1.0
-60
-60
50
50
0

[precipitation]
1
stations/precipitation.txt
none
precipitation.dbl
0
1.0
precipitation.stat 2001
9999
2.0
0.0
50000
0
1.0
0          # no negative precipitation
0
1e10
1e10
0

[wind_speed]
4
stations/wind_speed.txt
none
wind_speed.dbl
0
1.0
wind_speed.stat 2001
9999
2.0
0.0
50000
0
1.0
0.2        # calm days get 0.2 m/s, which keeps the aerodynamic resistance finite
0.2
60
60
0

[air_humidity]
4
stations/air_humidity.txt
none
air_humidity.dbl
0
1.0
air_humidity.stat 2001
9999
2.0
0.0
50000
0
1.0
0.05
0.05
1.0
1.0
0

[global_radiation]
1
stations/global_radiation.txt
none
global_radiation.dbl
0
1.0
global_radiation.stat 2001
9999
2.0
0.0
50000
0
1.0
0
0
1e10
1e10
0

[sunshine_duration]
1
stations/sunshine_duration.txt
none
sunshine_duration.dbl
0
1.0
sunshine_duration.stat 2001
9999
2.0
0.0
50000
0
1.0
0
0
1.0
1.0
0

# Gauge under-catch: a station's precipitation is multiplied by KR + AR * wind speed when the
# air at the station is warmer than GT, by KS + AS * wind speed otherwise (snow is caught worse
# than rain, and both the worse the stronger the wind).
[precipitation_correction]
1          # on
0.0        # GT: threshold temperature between snow and rain (degC)
1.02       # KR: rain factor at calm
0.015      # AR: increase of the rain factor per m/s of wind
1.10       # KS: snow factor at calm
0.12       # AS: increase of the snow factor per m/s of wind

# ---- Radiation and temperature on slopes ---------------------------------------------------
# Clear-sky radiation on every inclined cell, with the shadows of the surrounding terrain,
# divided by that on a flat cell; the factors correct global radiation in the
# evapotranspiration, and the temperature of sunny and shaded slopes (method 2).
[radiation_correction]
1          # on
1440       # time step (minutes)
2          # method: terrain shading and temperature correction
corr_temperature.dbl
0          # write code of the corrected temperature
1.0        # scaling of the temperature correction (K per unit of ln factor)
radiation_correction.dbl
0          # write code of the correction factors
shadow.dbl
0          # write code of the shadow grid
1          # factors computed every step
24         # hourly sub-intervals of the day

# ---- Regional superposition ----------------------------------------------------------------
# Blends values of several parameter regions; the example basin is one region, so it is off.
[RegionalSuperposition]
0
1440

# ---- Evapotranspiration -------------------------------------------------------------------
[evapotranspiration]
1          # on
1440       # time step (minutes)
1          # method 1: Penman-Monteith per vegetation layer, day and night apart
1 1 1 1 1 1 1 1 1 1 1 1   # monthly factors of the Hamon method (not used by Penman-Monteith)
0.2 0.2 0.21 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.2 0.2   # monthly Haude factors (not used)
1.0        # Wendling factor (not used)
etp.dbl    # potential transpiration (etp.stat: with the potential soil evaporation): grid, write code, statistics
0
etp.stat 2001
etr.dbl    # real transpiration; etr.stat holds the whole real evapotranspiration
0
etr.stat 2001
evap.dbl   # potential soil evaporation
0
evap.stat 2001
evar.dbl   # real soil evaporation
0
evar.stat 2001
snowevap.dbl   # snow evaporation
0
snowevap.stat 0
eip.dbl    # potential interception evaporation
0
eip.stat 2001
rgex.stat 2001   # global radiation corrected for slope and aspect
0.25 0.75 0 0    # Angstrom coefficients of radiation from relative sunshine (sum 1)
0.072 -0.808 1.749 -0.239   # coefficients of relative sunshine from relative radiation
0.7 0.1    # atmospheric transmissivity: yearly mean and amplitude
3000       # scale height of the daily temperature amplitude (m)
2.4 4.5 3.9 5.7 5.2 5.6 5.5 5.6 4.8 3.4 3.1 2.6   # half of the mean daily range (K), January
           # to December, from the maxima and minima of De Bilt in 2019
0.6 0.1    # day fraction of the daily amplitude and its yearly amplitude
cloudiness.stat 2001
HamonCorrectionOpenWater = 1.0

# ---- Interception -------------------------------------------------------------------------
# Rain held on the leaves up to IntercepCap (land-use table) times the leaf area index; the
# held water evaporates at the potential interception evaporation of the step.
[interception_model]
1          # on
1440       # time step (minutes)
2          # method: evaporation at the potential interception evaporation, the potential
           # transpiration reduced by the same amount
throughfall.dbl   # throughfall: grid, write code, zone statistics and code
0
throughfall.stat 2001
interception_evaporation.dbl
0
interception_evaporation.stat 2001
interception_storage.dbl
0
interception_storage.stat 2001
0.2        # water held per unit leaf area index where the land use gives no IntercepCap (mm)
0          # the storages start empty (1: read from the grids above)

# ---- Silting-up of tilled soil ----------------------------------------------------------------
# The rain energy since the last rain pause seals the surface of tilled soil and lowers its
# infiltration capacity; the throughfall beyond it leaves as direct runoff of sealed soil.
[SiltingUpModel]
1          # on
1440       # time step (minutes)
3          # method 3: the statements of the block below
sdisp.stat 2001   # zone statistics of the silting-up disposition and of the direct runoff
qdsu.stat 2001
sdisp.dbl  # grids: disposition, rain pause, rain energy, tillage age, direct runoff (file,
0          # write code)
rainpause.dbl
0
ekin.dbl
0
tsbb.dbl
0
qdsu.dbl
0
1 5        # subbasins 1 to 5 ...
2.0 2.0    # ... with a minimum rain pause of 2 days that ends a rain event
0          # the grids start at 0 (1: read from the files above)
# P rain intensity (mm/h), Q rain energy since the last pause, R step (min), O days since
# tillage, K mean grain diameter (um), L sand fraction, A..H the soil's SU_PAR01..08.
SiltingUpExpressions {
  W = (P > 0.05) * ((P < 76.2) * (11.89 + 8.73 * log10(P + (P <= 0.05))) + (P >= 76.2) * 28.33);
  Y = B * K^C * (100 * L)^D;
  X = A;
  Z = (O > 0) * E * (100 * L)^F * K^G * (O + (O <= 0))^H;
  V = ((X - Y) * exp(-Z * Q) + Y) * R / 60;
}

# ---- Time series at single cells ------------------------------------------------------------
# Daily values at two tilled meadow cells, a loam and a sandy loam.
[special_output]
1          # on
1440       # time step (minutes)
numfiles = 1;
{
header = meadow cells; filename = points.txt;
entity { ID = temperature; Symbol = T; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = precipitation; Symbol = P; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = pot_transpiration0; Symbol = ETP; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = interception_evaporation0; Symbol = EI; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = throughfall0; Symbol = TF; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = interception_storage0; Symbol = SI; Xcoords = 6099 7799; Ycoords = 7771 7371; }
entity { ID = DirectRunoffSiltingUp; Symbol = QDSU; Xcoords = 6099 7799; Ycoords = 7771 7371; }
}

# ---- Coupling with an external model --------------------------------------------------------
[ExternalCoupling]
0          # no external model exchanges grids with this run
