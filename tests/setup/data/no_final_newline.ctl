$set $x = 2
a = 1
b = $x