"""Slice, gather and mask a small table of sensor readings with tarvik.

Each row is one reading (temperature, humidity, pressure) from one of three stations. The script
picks out one station's rows, looks at single columns, clips implausible values with a mask, and
blanks a stretch of readings in place.
"""

from tarvik import PyBoolArray, PyNDArray
from _values import flat_values

COLUMNS = ["temp", "humid", "press"]
STATIONS = [0, 1, 2, 0, 1, 2, 0, 1, 2, 0]
READINGS = [
    [21.5, 40.0, 1012.0],
    [19.0, 55.0, 1009.5],
    [23.0, 38.5, 1011.0],
    [22.0, 41.0, 1013.5],
    [85.0, 57.5, 1008.0],  # a sensor glitch
    [24.5, 36.0, 1010.0],
    [20.5, 43.5, 1014.0],
    [18.0, 60.0, 1007.5],
    [-40.0, 35.0, 1010.5],  # another one
    [21.0, 42.0, 1012.5],
]


def show_table(label, table):
    rows, cols = table.shape()
    print(f"{label} ({rows} x {cols})")
    values = flat_values(table)
    for r in range(rows):
        print("   " + "  ".join(f"{v:8.2f}" for v in values[r * cols:(r + 1) * cols]))


table = PyNDArray([v for row in READINGS for v in row], [len(READINGS), len(COLUMNS)])
show_table("all readings", table)

# The rows of one station: gather along axis 0 by the positions whose label matches.
station = 0
rows = [i for i, s in enumerate(STATIONS) if s == station]
show_table(f"station {station}, rows {rows}", table.gather(0, rows))

# One column, one row, and a block of columns.
temps = table.slice_col(0)
print("temperatures      ", flat_values(temps))
print("reading 3         ", flat_values(table.slice_row(3)))
show_table("first three readings, temp and humidity", table.slice_range(0, 0, 3).slice_range(1, 0, 2))

# Outliers: a mask over the whole table that is true only for temperatures outside [-10, 50].
outlier = [c == 0 and not -10.0 <= v <= 50.0 for row in READINGS for c, v in enumerate(row)]
mask = PyBoolArray(outlier, table.shape())
print("outlying values   ", flat_values(table.boolean_mask(mask)))

# Replace them by the mean of the plausible temperatures, without touching the original table.
plausible = [v for v in flat_values(temps) if -10.0 <= v <= 50.0]
fallback = PyNDArray([sum(plausible) / len(plausible)] * (len(READINGS) * len(COLUMNS)), table.shape())
show_table("cleaned (where_)", table.where_(PyBoolArray([not o for o in outlier], table.shape()), fallback))

# Or change the table itself: zero the outliers, then mark readings 6 to 8 as missing with -1.
table.masked_fill(mask, 0.0)
table.set_slice(0, 6, 9, -1.0)
show_table("in place (masked_fill, set_slice)", table)
print("mean temperature now", table.slice_col(0).mean())
