# Velorn control file of the example basin: a 14 km2 headwater catchment of the Colorado Front
# Range (SRTM terrain on a 100 m grid, five subbasins), driven by the daily weather of the
# year 2019 measured at De Bilt (KNMI), as if it had been observed at the basin outlet.
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
6
landuse.asc landuse 0
zones.asc zonegrid_soilmodel 0
soil.asc soil_types 0
river_links.asc river_links 0
albedo albedo 0 readcode=0 defaultValue=0.2
irrigation.asc irrigation_codes 0

[variable_grids]
0

[region_transition_distance]
300        # metres over which the parameters of neighbouring regions blend

[substance_transport]
0          # no solute tracers

# ---- Irrigation -----------------------------------------------------------------------------
# The meadows of the valley floors (irrigation.asc: code 12, every meadow cell of the basin lies
# next to a stream) are irrigated from the rivers when the water content of their root zone
# falls to that at 1 m of suction, up to field capacity (0.33 m; method 3). The water leaves the
# river of the subbasin in the routing step; when the river cannot spare it, the cells get the
# share it can. Irrigation needs discharge routing ([routing_model] below).
[irrigation]
1          # on
1440       # time step (minutes)
irr_gw.stat 2001   # amounts from groundwater per subbasin (mm): none here
irr_sw.stat 2001   # amounts from the rivers per subbasin (mm)

[irrigation_table]
1          # one irrigation type
12 meadow 3 2 1 0.33   # code, name, method 3 (soil moisture), origin 2 (surface water), psi_dry, psi_wet (m)

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
0          # no ponding: water the soil cannot take runs off at once
0          # no tile drainage
0          # no clay layer
1e-8       # saturated conductivity of a clay layer (m/s; unused without one)
2          # ini_gw_level: the cold start puts the water table below layer 4 (1.8 m deep
           # profiles of loam, 1.2 m of sandy loam), the layers above in equilibrium with it
qdrain.stat 0       # zone statistics: name and code (2001: written daily per subbasin)
gwstand.stat 2001   # depth of the groundwater table (m, negative below the surface)
gwn.stat 2001       # groundwater recharge (mm)
sb1.stat 2001       # water content of the root zone (-)
sb2.stat 2001       # water in the soil profile (mm)
root.stat 0
infex.stat 2001     # infiltration excess (mm)
pond.stat 0
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
# Subbasins 1 and 2 drain into 4, 4 and 3 into 5 above the basin outlet. A ditch leaves the
# river of subbasin 3 at its outlet (a description of its own without channels) by a rule table.
[routing_model]
1          # on
1440       # time step (minutes)
1.0 1000.0 50 24   # qmin, qmax (l/s/km2), table intervals, routing sub-steps per step
discharge.stat 2001   # routed discharge per subbasin (mm per day)
none       # no observed discharges
0          # no observation columns
0          # goodness of fit from the first step
TG 3 (A=5.83, f=1) AL 1 = extern_with_rule ditch.txt
TG 4 (A=7.54, f=1) OL 1 (kh=2, kv=10, Bh=2, Bv=10, Th=0.6, Mh=20, Mv=10, I=0.05, L=2000, A=1.69)
OL 2 (kh=3, kv=12, Bh=3, Bv=15, Th=0.8, Mh=20, Mv=10, I=0.04, L=3500, A=5.61)
TG 5 (A=14.09, f=1) OL 4 (kh=1, kv=5, Bh=4, Bv=20, Th=1.0, Mh=25, Mv=12, I=0.03, L=1500, A=7.54)
OL 3 (kh=3, kv=12, Bh=3, Bv=15, Th=0.8, Mh=20, Mv=10, I=0.04, L=3500, A=5.83)
end of the routing descriptions

# The ditch: abstraction 1 by the discharge of subbasin 3 (m3/s), the same all year; the
# diverted water (m3/s per day) is written to ditch.txt in the output directory.
[abstraction_rule_abstraction_1]
3          # table points, one period
0     0    # discharge, abstraction (m3/s)
0.03  0    # nothing at low flow
0.2   0.05 # at most 0.05 m3/s

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
