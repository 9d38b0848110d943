"""Salvage the damaged sample next to this script and show what happened."""
import os
import sys

import _brinewick_backend as brinewick

here = os.path.dirname(os.path.abspath(__file__))
source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "damaged.csv")
stem = os.path.splitext(source)[0]
clean, quarantine = stem + ".clean.csv", stem + ".quarantine.csv"

# Short rows are padded; rows with surplus fields are set aside for a person
# to look at rather than merged into the last column.
summary = brinewick.salvage_file(source, clean, quarantine, merge_overflow=False)
print(summary)
for path in (clean, quarantine):
    print(f"\n--- {os.path.relpath(path)}")
    with open(path, encoding="utf-8", newline="") as f:
        sys.stdout.write(f.read())
