// Salvaged rows as Arrow data, for pyarrow, Polars, DuckDB and pandas
// through the Arrow C data and C stream interfaces (c_data.hpp declares the
// ABI; no Arrow library is linked).
//
// Pieces:
//   values.hpp        the text formats of int64/float64/bool/date32/timestamp
//                     and ColumnInference, narrowed value by value
//   column_names.hpp  header names: blanks, repeats, generated names that
//                     never take a real one
//   schema_scan.hpp   SchemaScanner (the first pass: header, width, types),
//                     overrides, convert_batch (string batch -> typed batch)
//   batch_builder.hpp ColumnBuilder (typed cells into Arrow buffers) and
//                     BatchBuilder (rows into bounded struct batches)
//   array_stream.hpp  ArrowArrayStream over a BatchProducer
//
// The reader over them (salvage_reader.hpp declares it):
//   parallel_read.hpp the chunk pipeline's rows into batches, on every core
//   read_pass.hpp     what its passes share: batch options, row plan, summary
//   scan_input.cpp, salvage_stream.cpp, read_span.cpp   the three passes
//   batch_queue.hpp   a pass's worker thread and its bounded queue of batches
//   kept_batches.hpp  batches held in memory; the file identity they need
//   record_tables.hpp the quarantine and change records as tables
//
// How a driver uses them. A column's type, and with expected_columns=0 the
// table's width, are known only once every row has been seen, while the
// schema must be given before the first batch and memory must stay bounded:
//
//   1. Seekable input (a regular file), and any run that infers types or has
//      no fixed width: two passes over the same clean rows.
//      Pass 1 parses and classifies exactly as the salvage does and feeds
//      every clean row to SchemaScanner (header from the first row when
//      header=true; width = widest row; ColumnInference per column unless
//      types="str"). SchemaScanner::columns(dtypes) gives the schema, or an
//      error message before any batch exists (a dtypes name that no column
//      has, a forced type that some value does not fit).
//      Pass 2 runs the salvage again; BatchBuilder takes every clean row
//      after the header, and get_next hands out a batch each time full()
//      says so (and the last, partial one at the end). The classification is
//      deterministic, so pass 2 sees the rows pass 1 saw; if the file changed
//      between the passes, a value that no longer fits its type or a row
//      wider than the schema makes append_row return Error, and the stream
//      fails with that message instead of giving wrong data.
//      Pass 1 also builds all-string batches (scan_input.cpp) and keeps
//      them while they stay under a byte limit; when the file's identity
//      (inode, size, a modification time old enough to be trusted) did not
//      move, they are converted to the final columns on every core at the
//      end of the pass, and the first stream hands them out: one parse
//      instead of two.
//   2. One pass suffices for types="str" with a fixed width (expected_columns
//      given or inferred from the prefix): the names come from the first
//      clean row and batches stream as rows arrive.
//   3. Input that cannot be read twice (a pipe) but needs pass 1: build
//      all-string batches (BatchBuilder with Utf8 columns; a row wider than
//      the builder is refused, add_columns widens it, the row is appended
//      again) and keep them while the scanner
//      sees the same rows; at the end, convert_batch turns each kept batch
//      into the final columns (typed, and null-padded to the final width)
//      as it is handed out. Memory then holds the whole table as Arrow
//      strings, about the size of its text, and bench/arrow_batches finds it
//      no cheaper than two passes; so a driver that can reread the input (or
//      spool a pipe to a temporary file, to bound memory) uses 1.
//
// Every pass takes a row that is clean as it stands (one line of the
// table's width, nothing for the salvage to repair or set aside) by its
// field texts alone (ResilientParser::next_plain_row), past the full parse
// and the row's verdict; any other row is parsed and classified in full.
// The two give the same rows (ReadSettings::clean_rows_by_fields).
//
// Nulls: with empty_as_null an empty field (including one the salvage
// padded) is null; otherwise it is "" (and keeps its column a string). A
// cell past the end of a short row (expected_columns=0) is always null.
//
// String offsets: 32-bit ("u") unless BatchOptions::large_strings. The
// offset width is part of the schema, which a stream fixes before its first
// batch, so it cannot change from batch to batch; instead a batch is cut
// (AppendResult::Full) before its text would pass 2^31-1 bytes. Only a row
// with a single field past that needs large_strings ("U"): the driver knows
// the longest row from pass 1 and turns it on.
//
// Batches: at most BatchLimits::max_rows rows and about max_bytes of
// buffers, each an independent struct array (release callback frees its
// buffers once; children released through the parent; a child moved out by
// the consumer keeps its own buffers). The stream is consumed once.
#pragma once

#include "array_stream.hpp"
#include "batch_builder.hpp"
#include "c_data.hpp"
#include "column_names.hpp"
#include "schema_scan.hpp"
#include "values.hpp"
