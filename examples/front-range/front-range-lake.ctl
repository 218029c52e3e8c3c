# Velorn control file of the example basin: a 14 km2 headwater catchment of the Colorado Front
# Range (SRTM terrain on a 100 m grid, five subbasins), driven by the daily weather of the
# year 2019 measured at De Bilt (KNMI), as if it had been observed at the basin outlet.
# Variant with a small lake above the outlet (a demonstration), 1 April to 30 September 2019:
# ponding on the soil, the lake as a reservoir of discharge routing operated by a summer and a
# winter rule, synthetic observed lake levels once a week and a synthetic snow survey.
# See README.md in this folder for the data, their sources and what the run computes.
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
1          # unit of the routed discharge: 1 m3/s (0 would be mm per day over the subbasin)
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
4
2019
0          # end: hour, day, month, year (the last daily step, 30 September 2019)
30
9
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
6
lake_codes.asc lake_codes 0
landuse.asc landuse 0
zones.asc zonegrid_soilmodel 0
soil.asc soil_types 0
river_links.asc river_links 0
albedo albedo 0 readcode=0 defaultValue=0.2

[variable_grids]
1
lake_ponding_max.asc max_ponding_storage 0 15
0
1

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
# alpha (1/m), Par_n (-), thickness of each layer of the horizon (m).
[soil_table]
3
1 loam method MultipleHorizons {
  layers = 3 5; ksat = 2.89e-6 1.5e-6; theta_sat = 0.43 0.41; theta_res = 0.078 0.078;
  alpha = 3.6 3.6; Par_n = 1.56 1.56; thickness = 0.1 0.3;
}
2 sandy_loam method MultipleHorizons {
  layers = 3 5; ksat = 1.23e-5 5.0e-6; theta_sat = 0.41 0.39; theta_res = 0.065 0.065;
  alpha = 7.5 7.5; Par_n = 1.89 1.89; thickness = 0.1 0.2;
}
3 loamy_sand method MultipleHorizons {
  layers = 3 5; ksat = 4.05e-5 2.0e-5; theta_sat = 0.41 0.39; theta_res = 0.057 0.057;
  alpha = 12.4 12.4; Par_n = 2.28 2.28; thickness = 0.1 0.1;
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

# ---- Snow -----------------------------------------------------------------------------------
# Degree-day snow model with daily steps: each day is split into a night part at the night
# temperature and a day part at the day temperature, weighted by their lengths.
[snow_model]
1          # on
1440       # time step (minutes)
1          # method 1: degree-day (temperature index)
1.0        # transzone: half-width of the rain/snow transition (K): all snow below 0 degC,
           # all rain above 2 degC, as observed for Rocky Mountain stations
1.0        # T0R: rain/snow threshold temperature (degC)
0.0        # T0: melt threshold temperature (degC)
0.1        # CWH: liquid water the pack holds, as a fraction of its ice
0.05       # CRFR: refreezing coefficient (methods 3 and 4 only)
4.0        # C0: degree-day factor (mm per degC and day), mid-range of published snow values
           # (2.5 to 6) for open and forest sites of the Colorado Rockies
1.5        # C1: wind-independent melt factor (wind-index methods only)
0.5        # C2: wind-dependent melt factor (wind-index methods only)
0.001      # z0: roughness length of snow (m)
1.0        # RMFMIN: seasonal radiation melt factor in winter (radiation methods only)
3.0        # RMFMAX: seasonal radiation melt factor in summer
0.45       # ALBsnow_min: albedo of old snow
0.85       # ALBsnow_max: albedo of fresh snow
rain.dbl   # rain: grid, write code, zone statistics and code
0
rain.stat 0
snow.dbl   # snowfall
0
snowfall.stat 2001
snowdays.dbl   # days with snow cover
0
snowdays.stat 0
snowage.dbl    # snow age (days)
0
snowage.stat 0
albedo.stat 0  # albedo statistics
snowoutflow.dbl   # water leaving the pack (melt and rain)
0
snowoutflow.stat 2001
snowmelt.dbl      # the part of it in steps with melt
0
snowmelt.stat 2001
snowsolid.dbl  # solid snow storage (mm water equivalent)
0
snowliquid.dbl # liquid water in the pack (mm)
0
snowstorage.stat 2001   # total snow storage statistics
snowstorage.dbl   # total snow storage grid
0
0          # the pack starts empty (1: read from the storage grids above)

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

# ---- Soil water ----------------------------------------------------------------------------
# The soil column of every cell (the 8 layers of the soil table) takes the throughfall, loses
# water to the roots and to evaporation, drains by gravity and capillarity (Richards' equation
# in van Genuchten-Mualem form), sheds interflow on slopes and feeds the groundwater table at
# its bottom, which drains as base flow. Direct runoff and interflow reach the subbasin outlet
# through the flow-time zones and one linear storage each; with base flow they make the
# runoff of each subbasin (Qg, table qg.stat).
[soil_surface_groundwater_substeps]
1          # one soil sub-step per daily time step

[unsatzon_model]
1          # on
1440       # time step (minutes)
3          # method 3: inner steps bounded by the travel time of water through a layer
           # (thickness over conductivity), which daily steps need: a fixed daily step (method 2)
           # would move water through several 10-cm layers in one step
0          # no exchange with river water
1          # ponding
0          # no tile drainage
0          # no clay layer
1e-8       # saturated conductivity of a clay layer (m/s; unused without one)
2          # ini_gw_level: the cold start puts the water table below layer 4 (0.6 m deep in
           # loam, 0.4 m in loamy sand), the layers above in equilibrium with it
qdrain.stat 0       # zone statistics: name and code (2001: written daily per subbasin)
gwstand.stat 2001   # depth of the groundwater table (m, negative below the surface)
gwn.stat 2001       # groundwater recharge (mm)
sb1.stat 2001       # water content of the root zone (-)
sb2.stat 2001       # water in the soil profile (mm)
root.stat 0
infex.stat 2001     # infiltration excess (mm)
pond.stat 2001
qd.stat 2001        # direct runoff of each subbasin at its outlet (mm)
qi.stat 2001        # interflow (mm)
qb.stat 2001        # base flow (mm)
qg.stat 2001        # total runoff (mm)
gwin.stat 0
gwex.stat 0
macro.stat 0
infilt.stat 2001    # infiltration (mm)
# Grids and stacks: name, then write code (0: not written). sb1 holds the water content of the
# root zone (-) and sb2 the water of the soil profile (mm): the grids of sb1.stat and sb2.stat.
sb1.dbl
0
sb2.dbl
0
wurz.dbl
0
theta.stk  # water content per layer
0
hh.stk     # hydraulic head per layer
0
hgeo.stk   # elevation of the layer boundaries
0
qunten.stk # flux through the lower boundary of each layer
0
gwstand.dbl
0
gwtheta.dbl
0
gwn.dbl
0
gwlevel.dbl
0
qdrain.dbl
0
satt.dbl
0
infex.dbl
0
qd.dbl
0
qi.dbl
0
deltagw.dbl
0
gwin.dbl
0
gwex.dbl
0
pond.dbl
0
uprise.dbl
0
percol.dbl
0
macro.dbl
0
irrig.dbl
0
0 0        # no control point (row and column of a cell for the single-point files)
qbottom.txt
theta.txt
hhyd.txt
other.txt
etr.txt
interflow.txt
1 5        # subbasin codes: the first and the last; subbasins 2-4 take the values of 1
12 12      # kelsqd: recession constant of direct runoff (h)
48 48      # kelsqi: recession constant of interflow (h)
10 10      # interflow factor (1/m): a layer sheds k(theta) x thickness x 10 x min(1, slope)
0.4 0.4    # kelsqlat: base flow falls by e per 0.4 m of groundwater table depth
1.0 1.0    # QB-Red.Faktor: base flow with the table at the surface, mm per step (here a
           # day; with 60-minute steps give 1.0 / 24 = 0.042 for the same base flow)
0.1 0.1    # SnowRunoff_fraction: share of the water input that runs off a snow cover
0          # cold start (1: read the stacks and grids named above)
soilstorage  # storage content file (the process number is appended)
900        # method 3: shortest inner step (s)
substeps.stat 0
substeps.dbl
0

# ---- Discharge routing ---------------------------------------------------------------------
# The runoff of every subbasin (qg.stat) flows through the river network to the basin outlet.
# Subbasins 1 and 2 are headwaters that join in subbasin 4; subbasin 3 is a tributary that
# joins the outflow of 4 in subbasin 5, the last reach above the outlet. One description per
# subbasin that receives a tributary, upstream first: TG 4 routes the outflows of 1 and 2 down
# the channel through subbasin 4, TG 5 those of 4 and 3 down the channel through subbasin 5.
# A = area drained at the end of the reach (km2, the zone grid's areas: 1.69 + 5.61 + 0.24 =
# 7.54 at the outlet of 4, 14.09 at the basin outlet), f = 1 (no correction of the area).
# Channel values per tributary, in this order:
#   kh, kv  storage constants of the channel and of the flood plain (h): short, steep reaches
#           that a day's water passes within the hour, so small values
#   Bh, Bv  width of the channel and of the flood plain (m), growing with the drained area
#           (Leopold and Maddock 1953: 1.5 m wide and 0.5 m deep at 2 km2)
#   Th      bank-full depth (m)
#   Mh, Mv  Manning-Strickler coefficients (m^(1/3)/s): 20 for a mountain stream with cobbles
#           and boulders (Manning n = 0.05, Chow 1959, Open-Channel Hydraulics, table 5-6),
#           10 for a wooded flood plain (n = 0.1)
#   I       slope of the reach (m/m) and L its length (m): from dem.asc along the main stream
#           of the subbasin the reach crosses (4 cells falling 33 m in subbasin 4, 8 cells
#           falling 64 m in subbasin 5; tools/example_basin prints every subbasin's values)
#   A       area of the tributary's catchment (km2)
# The outlet's discharge is the column "5" of discharge.stat (m3/s per day).
[routing_model]
1          # on
1440       # time step (minutes): daily, as the rest of the model
1.0 1000.0 50 24   # qmin, qmax (l/s/km2) and intervals of the water-level table; 24 hourly sub-steps
discharge.stat 2001   # routed discharge per subbasin (m3/s), one row per day
none       # no observed discharges (the example ships none)
0          # no observation columns
0          # goodness of fit from the first step (unused without observations)
TG 4 (A=7.54, f=1) OL 1 (kh=0.5, kv=2, Bh=1.4, Bv=8, Th=0.47, Mh=20, Mv=10, I=0.063, L=524, A=1.69)
OL 2 (kh=0.5, kv=2, Bh=2.5, Bv=12, Th=0.76, Mh=20, Mv=10, I=0.063, L=524, A=5.61)
TG 5 (A=14.09, f=1) OL 4 (kh=1, kv=4, Bh=2.9, Bv=15, Th=0.85, Mh=20, Mv=10, I=0.069, L=924, A=7.54)
OL 3 (kh=1, kv=4, Bh=2.6, Bv=12, Th=0.77, Mh=20, Mv=10, I=0.069, L=924, A=5.83)
SP 5 file = lake5.txt V0 = 0 C0 = 0 0 0 0 0 0 0 0 0
end of the routing descriptions

# ---- Lake above the outlet ---------------------------------------------------------------
# A demonstration, not a lake of the basin: three cells of subbasin 5 above the outlet
# (lake_codes.asc: code 5) with the common top level 2432 m (lake_ponding_max.asc: each lake
# cell's depth below the top in mm, a pond of 15 mm on every other cell). The lake starts from
# the water the soil zone ponds on its cells and is reservoir SP 5 of subbasin 5 (balance file
# output/lake5.txt, level-volume table output/W_V_Table_05.dat). It releases by the outflow
# table [abstraction_rule_reservoir_5] and is set every Tuesday to the level of lake_levels.txt
# (synthetic levels, not observations).
[lake_model]
1
1
0.08
0.001
1

# The operating rule: volume classes (m3), then the outflow (m3/s) of each period, linear
# between the classes; above the last class (113000 m3, the lake full at 2432 m) the lake passes
# its inflow. The periods begin on days 151, 152, 243, 244 and 365 of the year (31 May, 1 June,
# 31 August, 1 September, 31 December); between two period days the outflow is interpolated, so
# equal columns on both sides of a summer day keep the rule sharp: the winter table up to 31 May
# and from 1 September, the summer table from 1 June to 31 August. In winter the lake is drawn
# towards 2429 m (44000 m3), in summer it is held near 2430.5 m (74000 m3).
[abstraction_rule_reservoir_5]
4 151 152 243 244 365
0       0     0      0      0     0
44000   0.02  0.002  0.002  0.02  0.02
74000   0.5   0.02   0.02   0.5   0.5
113000  2     2      2      2     2

# Two rules: the lake's level every Tuesday from lake_levels.txt, and on 28 May the snow water
# equivalent of snow_survey.asc (a synthetic snow survey, mm), divided into the liquid and solid
# storages of the snow model: by the cell's own liquid share where the pack has solid snow, else
# 5 % liquid.
[data_assimilation]
1
1440
2
reservoir { lake-ID = 5; AverageWaterTable = 0; listfilename = lake_levels.txt; options { format = velorn; skiprows = 0; } }
grid {
  grid-ID = snow_storage_total;
  listfilename = snow_survey_list.txt;
  options { split-into-liquid-and-solid = true; default-liquid-percentage = 5; }
}

# ---- Time series at single cells ------------------------------------------------------------
# Daily values at the basin outlet (2416 m) and at the highest cell of the basin (3218 m).
[special_output]
1          # on
1440       # time step (minutes)
numfiles = 1;
{
header = outlet and summit cells; filename = points.txt;
entity { ID = temperature; Symbol = T; Xcoords = 7999 3199; Ycoords = 7271 6971; }
entity { ID = precipitation; Symbol = P; Xcoords = 7999 3199; Ycoords = 7271 6971; }
entity { ID = pot_transpiration0; Symbol = ETP; Xcoords = 7999 3199; Ycoords = 7271 6971; }
entity { ID = interception_evaporation0; Symbol = EI; Xcoords = 7999 3199; Ycoords = 7271 6971; }
entity { ID = throughfall0; Symbol = TF; Xcoords = 7999 3199; Ycoords = 7271 6971; }
}

# ---- Coupling with an external model --------------------------------------------------------
[ExternalCoupling]
0          # no external model exchanges grids with this run
