"""Salvage the damaged sample next to this script and show what happened."""
import os
import sys
import tempfile

import _brinewick_backend
import brinewick

here = os.path.dirname(os.path.abspath(__file__))
source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "damaged.csv")
stem = os.path.splitext(source)[0]
clean, quarantine, changes = stem + ".clean.csv", stem + ".quarantine.csv", stem + ".changes.csv"

# Short rows are padded; rows with surplus fields are set aside for a person
# to look at rather than merged into the last column. Every change made to a
# kept row is recorded in the changes file.
summary = brinewick.salvage(source, clean, quarantine=quarantine, changes=changes,
                            merge_overflow=False)
print(summary)
for path in (clean, quarantine, changes):
    print(f"\n--- {os.path.relpath(path)}")
    with open(path, encoding="utf-8", newline="") as f:
        sys.stdout.write(f.read())

# The in-memory backend under the package gives the same clean file.
with tempfile.TemporaryDirectory() as tmp:
    reference = os.path.join(tmp, "clean.csv")
    _brinewick_backend.salvage_file(source, reference, merge_overflow=False)
    with open(reference, "rb") as a, open(clean, "rb") as b:
        same = a.read() == b.read()
print(f"\n_brinewick_backend.salvage_file gives the same clean file: {same}")
