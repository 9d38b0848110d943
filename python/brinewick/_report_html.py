"""The damage report as one self-contained HTML page: no scripts, no fonts or
styles from elsewhere, the charts drawn as inline SVG, and every piece of the
input escaped (controls and undecodable bytes shown as \\xNN)."""

from __future__ import annotations

import re
from html import escape
from typing import TYPE_CHECKING, Any

from ._damage import CHANGE_KINDS

if TYPE_CHECKING:
    from ._damage import InspectReport

# One colour per change kind, then rows set aside; readable by people with
# the common colour-vision deficiencies (Okabe-Ito palette). A kind the engine
# gains before it is given a colour here is drawn in the palette's black.
COLOURS = {
    "padded": "#56B4E9", "merged": "#0072B2", "stray_quote": "#E69F00",
    "text_after_quote": "#F0E442", "unclosed_quote": "#CC79A7",
    "invalid_utf8": "#009E73", "blank_line": "#999999", "set_aside": "#D55E00",
}


def _colour(kind: str) -> str:
    return COLOURS.get(kind, "#000000")


CSS = """
body { font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 60rem; color: #222; }
h1 { font-size: 1.4rem; } h2 { font-size: 1.1rem; margin-top: 2rem; }
table { border-collapse: collapse; } td, th { padding: .2rem .8rem; text-align: left; }
th { border-bottom: 1px solid #aaa; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
code, pre { font-family: ui-monospace, monospace; font-size: .85rem; }
pre { background: #f5f5f5; padding: .3rem .5rem; margin: 0; white-space: pre-wrap; word-break: break-all; }
.legend span { display: inline-block; margin-right: 1rem; }
.legend i { display: inline-block; width: .8rem; height: .8rem; margin-right: .3rem; vertical-align: -1px; }
.ok { color: #117733; }
.warnings { border-left: .3rem solid #D55E00; background: #fdf1ea; padding: .5rem 1rem; }
.warnings li { margin: .3rem 0; }
td.was pre { background: #fdf1ea; } td.bar { white-space: nowrap; } td.now pre { background: #eef7ee; }
"""
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def _text(value: object) -> str:
    """Text of the input made safe for the page: a file name's byte that did not
    decode shown as \\udcNN, a control character as \\xNN, markup characters escaped."""
    text = str(value).encode("utf-8", "backslashreplace").decode("utf-8")
    return escape(_CONTROLS.sub(lambda m: f"\\x{ord(m.group()):02x}", text))


def _line_label(report: "InspectReport", i: int) -> str:
    lines = report.findings.lines_at
    return f"line {lines[i]}" if i < len(lines) else ""


def _chart(report: "InspectReport") -> str:
    width, height, pad = 900, 220, 40
    series = [dict(b, set_aside=s) for b, s in zip(report.changes_along, report.set_aside_along)]
    peak = max((sum(b.values()) for b in series), default=0)
    if peak == 0:
        return '<p class="ok">No damage found anywhere in the file.</p>'
    bar = (width - 2 * pad) / len(series)
    size, bins = report.file_size, len(series)
    parts = [
        f'<svg role="img" aria-label="Damage along the file, by line" width="{width}" height="{height + 40}" '
        f'viewBox="0 0 {width} {height + 40}" xmlns="http://www.w3.org/2000/svg">',
        f'<line x1="{pad}" y1="{height}" x2="{width - pad}" y2="{height}" stroke="#666"/>',
    ]
    for i, counts in enumerate(series):
        y = float(height)
        where = f"{_line_label(report, i)}, bytes {i * size // bins}-{(i + 1) * size // bins}"
        for kind in (*counts.keys(),):
            n = counts.get(kind, 0)
            if not n:
                continue
            h = (height - pad) * n / peak
            y -= h
            parts.append(
                f'<rect x="{pad + i * bar + 1:.1f}" y="{y:.1f}" width="{max(bar - 2, 1):.1f}" '
                f'height="{h:.1f}" fill="{_colour(kind)}"><title>{_text(where)}: {_text(kind)} {n}</title></rect>'
            )
    for frac in (0, 0.25, 0.5, 0.75):
        i = int(frac * bins)
        x = pad + i * bar
        parts.append(f'<text class="axis" x="{x:.0f}" y="{height + 18}" font-size="11" text-anchor="middle">'
                     f'{_line_label(report, i)}<title>byte {i * size // bins}</title></text>')
    parts.append(f'<text x="{pad}" y="{pad - 20}" font-size="11">{peak} per stretch at most</text>')
    parts.append("</svg>")
    kinds = [k for k in (*CHANGE_KINDS, "set_aside") if any(b.get(k) for b in series)]
    legend = "".join(f'<span><i style="background:{_colour(k)}"></i>{_text(k)}</span>' for k in kinds)
    return "\n".join(parts) + f'<p class="legend">{legend}</p>'


def _bar(share: float, colour: str) -> str:
    """A small bar for a share from 0 to 1, readable as text too."""
    w = round(80 * min(max(share, 0.0), 1.0), 1)
    return (f'<svg width="82" height="10" role="img" aria-label="{share:.1%}">'
            f'<rect x="0" y="0" width="82" height="10" fill="#eee"/>'
            f'<rect x="0" y="0" width="{w}" height="10" fill="{colour}"/></svg> {share:.1%}')


def _columns(report: "InspectReport") -> str:
    found = report.findings
    if not found.columns:
        return f"<p>{_text(found.columns_note or 'No columns.')}</p>"
    rows = []
    for c in found.columns:
        fitted = c.padded + c.merged
        off = f"{c.off_type} not {_text(c.near_type)}" if c.near_type and c.off_type else "&ndash;"
        rows.append(
            f"<tr><td><code>{_text(c.name)}</code></td><td>{_text(c.type)}</td>"
            f"<td class=bar>{_bar(c.empty_share, '#56B4E9')}</td><td class=n>{c.padded}</td><td class=n>{c.merged}</td>"
            f"<td class=bar>{_bar(fitted / c.cells if c.cells else 0.0, '#0072B2')}</td><td>{off}</td></tr>")
    return ('<table id="columns"><tr><th>Column</th><th>Type (as read gives it)</th><th>Empty</th>'
            '<th>Padded cells</th><th>Merged cells</th><th>Refitted share</th><th>Values off type</th></tr>'
            + "".join(rows) + "</table>")


def _worst(report: "InspectReport") -> str:
    worst = report.findings.worst
    if not worst:
        return ""
    rows = "".join(
        f"<tr><td>lines {w.first_line}&ndash;{w.last_line}</td><td class=n>{w.first_byte}&ndash;{w.last_byte}</td>"
        f"<td class=n>{w.damage}</td><td>{_text(', '.join(f'{k} {n}' for k, n in w.kinds.items()))}</td></tr>"
        for w in worst)
    return ('<h3>Worst stretches</h3><table id="worst"><tr><th>Lines</th><th>Bytes</th><th>Damage</th>'
            f"<th>Kinds</th></tr>{rows}</table>")


def _examples(report: "InspectReport") -> str:
    examples = report.findings.examples
    if not examples:
        return '<p class="ok">No row was changed.</p>'
    parts = []
    for kind, found in examples.items():
        rows = "".join(
            f"<tr><td class=n>{e.line}</td><td>{_text(e.detail)}</td>"
            f'<td class="was"><pre>{_text(e.raw[:300])}{"…" if len(e.raw) > 300 else ""}</pre></td>'
            f'<td class="now"><pre>{_text(e.clean[:300])}{"…" if len(e.clean) > 300 else ""}</pre></td></tr>'
            for e in found)
        parts.append(f'<h3 id="example-{_text(kind)}">{_text(kind)}</h3><table class="examples">'
                     f"<tr><th>Line</th><th>What changed</th><th>Row as it was</th><th>Clean row</th></tr>"
                     f"{rows}</table>")
    return "".join(parts)


def _warnings(report: "InspectReport") -> str:
    warnings = report.findings.warnings
    if not warnings:
        return '<p class="ok" id="warnings">Nothing needs a warning.</p>'
    return ('<section class="warnings" id="warnings"><h2>Warnings</h2><ul>'
            + "".join(f"<li>{_text(w)}</li>" for w in warnings) + "</ul></section>")


def _bytes(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} GB"


def render_html(report: "InspectReport") -> str:
    s: Any = report.summary
    rows = [
        ("Rows read (header and blank lines included)", s.total_rows),
        ("Data rows in the clean CSV", max(s.salvaged_rows - 1, 0)),
        ("Rows changed", s.changed_rows), ("of which padded or merged", s.repaired_rows),
        ("Rows set aside", s.quarantined_rows),
        ("Delimiter", repr(s.detected_delimiter)), ("Columns", s.inferred_columns),
        ("Size", _bytes(s.bytes_read)),
    ]
    summary = "".join(f"<tr><th>{_text(k)}</th><td class=n>{_text(v)}</td></tr>" for k, v in rows)
    changes = "".join(
        f'<tr><td><i style="display:inline-block;width:.8rem;height:.8rem;background:{_colour(k)}"></i> '
        f"{_text(k)}</td><td class=n>{n}</td></tr>"
        for k, n in s.changes.items()
    )
    reasons = "".join(f"<tr><td>{_text(r)}</td><td class=n>{n}</td></tr>" for r, n in report.reasons.items())
    set_aside = "".join(
        f"<tr><td class=n>{r.line}</td><td class=n>{r.byte_offset}</td><td>{_text(r.reason)}</td>"
        f"<td><pre>{_text(r.raw[:300])}{'…' if len(r.raw) > 300 else ''}</pre></td></tr>"
        for r in report.first_set_aside
    )
    step = report.findings.next_step
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>brinewick report: {_text(report.path)}</title>
<style>{CSS}</style></head><body>
<h1>Damage report for <code>{_text(report.path)}</code></h1>
{_warnings(report)}
<table id="summary">{summary}</table>
{f'<h2>Next step</h2><pre id="next-step"><code>{_text(step)}</code></pre>' if step else ""}
<h2>Columns</h2>
{_columns(report)}
<h2>Damage along the file</h2>
{_chart(report)}
{_worst(report)}
<h2>Changes by kind</h2>
<table id="kinds"><tr><th>Change</th><th>Records</th></tr>{changes}</table>
<h2>Examples of each change</h2>
<div id="examples">{_examples(report)}</div>
<h2>Rows set aside, by reason</h2>
{f"<table><tr><th>Reason</th><th>Rows</th></tr>{reasons}</table>" if reasons else '<p class="ok">None.</p>'}
{f"<h2>First rows set aside</h2><table id='set-aside'><tr><th>Line</th><th>Byte</th><th>Reason</th><th>Raw text</th></tr>{set_aside}</table>" if set_aside else ""}
</body></html>
"""
