"""The damage report as one self-contained HTML page: no scripts, no fonts or
styles from elsewhere, the chart drawn as inline SVG."""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING

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
"""


def _chart(report: "InspectReport") -> str:
    width, height, pad = 900, 220, 30
    series = [dict(b, set_aside=s) for b, s in zip(report.changes_along, report.set_aside_along)]
    peak = max((sum(b.values()) for b in series), default=0)
    if peak == 0:
        return '<p class="ok">No damage found anywhere in the file.</p>'
    bar = (width - 2 * pad) / len(series)
    parts = [
        f'<svg role="img" aria-label="Damage along the file" width="{width}" height="{height + 40}" '
        f'viewBox="0 0 {width} {height + 40}" xmlns="http://www.w3.org/2000/svg">',
        f'<line x1="{pad}" y1="{height}" x2="{width - pad}" y2="{height}" stroke="#666"/>',
    ]
    for i, counts in enumerate(series):
        y = float(height)
        for kind in (*CHANGE_KINDS, "set_aside"):
            n = counts.get(kind, 0)
            if not n:
                continue
            h = (height - pad) * n / peak
            y -= h
            parts.append(
                f'<rect x="{pad + i * bar + 1:.1f}" y="{y:.1f}" width="{max(bar - 2, 1):.1f}" '
                f'height="{h:.1f}" fill="{_colour(kind)}"><title>{escape(kind)}: {n}</title></rect>'
            )
    size = report.file_size
    for frac in (0, 0.25, 0.5, 0.75, 1):
        x = pad + frac * (width - 2 * pad)
        parts.append(f'<text x="{x:.0f}" y="{height + 18}" font-size="11" text-anchor="middle">'
                     f'{_bytes(size * frac)}</text>')
    parts.append(f'<text x="{pad}" y="{pad - 10}" font-size="11">{peak} per bin at most</text>')
    parts.append("</svg>")
    legend = "".join(f'<span><i style="background:{_colour(k)}"></i>{escape(k)}</span>'
                     for k in (*CHANGE_KINDS, "set_aside"))
    return "\n".join(parts) + f'<p class="legend">{legend}</p>'


def _bytes(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000
    return f"{n:.1f} GB"


def render_html(report: "InspectReport") -> str:
    s = report.summary
    rows = [
        ("Rows read", s.total_rows), ("Rows kept (clean)", s.salvaged_rows),
        ("Rows changed", s.changed_rows), ("Rows set aside", s.quarantined_rows),
        ("Delimiter", repr(s.detected_delimiter)), ("Columns", s.inferred_columns),
        ("Bytes read", s.bytes_read),
    ]
    summary = "".join(f"<tr><th>{escape(k)}</th><td class=n>{escape(str(v))}</td></tr>" for k, v in rows)
    changes = "".join(
        f'<tr><td><i style="display:inline-block;width:.8rem;height:.8rem;background:{_colour(k)}"></i> '
        f"{escape(k)}</td><td class=n>{n}</td></tr>"
        for k, n in s.changes.items()
    )
    reasons = "".join(f"<tr><td>{escape(r)}</td><td class=n>{n}</td></tr>" for r, n in report.reasons.items())
    set_aside = "".join(
        f"<tr><td class=n>{r.line}</td><td class=n>{r.byte_offset}</td><td>{escape(r.reason)}</td>"
        f"<td><pre>{escape(r.raw[:300])}{'…' if len(r.raw) > 300 else ''}</pre></td></tr>"
        for r in report.first_set_aside
    )
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>brinewick report: {escape(report.path)}</title>
<style>{CSS}</style></head><body>
<h1>Damage report for <code>{escape(report.path)}</code></h1>
<table>{summary}</table>
<h2>Damage along the file</h2>
{_chart(report)}
<h2>Changes by kind</h2>
<table><tr><th>Change</th><th>Records</th></tr>{changes}</table>
<h2>Rows set aside, by reason</h2>
{f"<table><tr><th>Reason</th><th>Rows</th></tr>{reasons}</table>" if reasons else '<p class="ok">None.</p>'}
{f"<h2>First rows set aside</h2><table><tr><th>Line</th><th>Byte</th><th>Reason</th><th>Raw text</th></tr>{set_aside}</table>" if set_aside else ""}
</body></html>
"""
