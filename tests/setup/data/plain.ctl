# Control file of a basin without symbols
[output_interval]
1 # first value
24#hours
   # an indented comment

[ascii_grid_files]
dem = /data/basin//dem.asc
zones	=	zones.asc	# tab separated
////
