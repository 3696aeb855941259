"""Outputs of a study: tables written reproducibly (CSV and Parquet) and one self-contained HTML page.

The page (``report.html``) needs nothing but itself: styles are inline, figures are embedded as
base64 ``data:`` URIs of their PNG files, and it loads nothing from the network (no scripts, fonts
or style sheets). Tables are written so that the same frame gives the same bytes on every run:
CSV with shortest round-trip floats and ``\\n`` line ends, Parquet with fixed writer options and
no time stamps.
"""

from __future__ import annotations

import base64
import contextlib
import html
import json
import math
import os
import struct
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

__all__ = ["Figure", "Report", "png_size", "replaced_atomically", "write_json", "write_table"]

# Writer options pinned so that a Parquet file depends on its data only (pyarrow stores no time
# stamp; its "created_by" names the library version, constant for one installation).
_PARQUET_OPTIONS: dict[str, Any] = {
    "compression": "zstd",
    "compression_level": 3,
    "version": "2.6",
    "data_page_version": "1.0",
    "use_dictionary": False,
    "write_statistics": True,
    "store_schema": True,
}


@contextlib.contextmanager
def replaced_atomically(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a temporary path beside ``path`` to write to; on success renames it onto ``path``.

    The rename (``os.replace``) is atomic: a reader sees the old file or the new one, never half
    of one, and a kill leaves the old file. A link at ``path`` is replaced by the new file, never
    written through, so the file it pointed to stays as it was. On an error the temporary file is
    removed and ``path`` is left untouched. The new file gets the usual permissions (0o666 less
    the umask).
    """
    path = Path(path)
    handle, name = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            temporary.unlink()
        raise


def write_table(frame: pd.DataFrame, directory: Path, name: str) -> tuple[Path, Path]:
    """Writes ``frame`` as ``directory/name.csv`` and ``directory/name.parquet``; returns both paths.

    The index is written only when it is named (as in a table indexed by parameter). The same frame
    gives byte-identical files: CSV floats in their shortest round-trip form, ``\\n`` line ends;
    Parquet with zstd level 3, format 2.6, no dictionary pages and the pandas schema.
    """
    directory = Path(directory)
    keep_index = any(level is not None for level in frame.index.names)
    csv_path = directory / f"{name}.csv"
    parquet_path = directory / f"{name}.parquet"
    with replaced_atomically(csv_path) as temporary:
        frame.to_csv(temporary, index=keep_index, lineterminator="\n", encoding="utf-8")
    table = pa.Table.from_pandas(frame, preserve_index=keep_index)
    with replaced_atomically(parquet_path) as temporary:
        pq.write_table(table, temporary, **_PARQUET_OPTIONS)
    return csv_path, parquet_path


def write_json(data: Mapping[str, Any], path: Path) -> Path:
    """Writes ``data`` as indented JSON with sorted keys (stable bytes; NaN written as null)."""
    path = Path(path)
    text = json.dumps(_jsonable(data), indent=2, sort_keys=True, allow_nan=False) + "\n"
    with replaced_atomically(path) as temporary:
        temporary.write_text(text, encoding="utf-8")
    return path


def _jsonable(value: Any) -> Any:
    """``value`` with NumPy scalars, tuples, paths and non-finite floats turned into plain JSON."""
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, Path):
        return str(value)
    if value is pd.NA or value is pd.NaT:
        return None
    if hasattr(value, "item") and callable(value.item) and getattr(value, "shape", None) == ():
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def png_size(data: bytes) -> tuple[int, int]:
    """(width, height) in pixels of a PNG image; ValueError when ``data`` is not a PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise ValueError("not a PNG image")
    width, height = struct.unpack(">II", data[16:24])
    return int(width), int(height)


@dataclass(frozen=True)
class Figure:
    """A figure of the report: a PNG file and its caption."""

    path: Path
    caption: str


@dataclass
class Report:
    """One self-contained HTML page: a title, settings, tables, figures, free notes, in order of adding.

    Build it with :meth:`add_settings`, :meth:`add_table`, :meth:`add_figures` and
    :meth:`add_text`; :meth:`html` renders it and :meth:`write` saves it (UTF-8).
    """

    title: str
    subtitle: str = ""
    _sections: list[str] = field(default_factory=list, repr=False)
    _lead: list[str] = field(default_factory=list, repr=False)

    def add_lead(self, sentence: str, details: Sequence[str] = ()) -> None:
        """The answer at the top of the page, above every section: one sentence in bold, then
        short paragraphs (the basis, the caveats). Escaped; a later call adds below."""
        body = f'<p class="answer">{html.escape(sentence)}</p>' + "".join(
            f"<p>{html.escape(p)}</p>" for p in details)
        self._lead.append(body)

    def add_html(self, heading: str, body: str) -> None:
        """A section of ready HTML (the caller escapes what it holds)."""
        self._sections.append(_section(heading, body))

    def add_text(self, heading: str, paragraphs: Sequence[str]) -> None:
        """A section of plain paragraphs (escaped)."""
        body = "".join(f"<p>{html.escape(p)}</p>" for p in paragraphs)
        self._sections.append(_section(heading, body))

    def add_settings(self, heading: str, settings: Mapping[str, Any]) -> None:
        """A two-column table of named settings (values shown as given, escaped)."""
        rows = "".join(f"<tr><th scope=\"row\">{html.escape(str(k))}</th><td>{html.escape(_text(v))}</td></tr>"
                       for k, v in settings.items())
        self._sections.append(_section(heading, f'<table class="settings">{rows}</table>'))

    def add_table(self, heading: str, frame: pd.DataFrame, *, note: str = "", digits: int = 4,
                  columns_per_table: int = 9) -> None:
        """A data table (numbers to ``digits`` significant figures), with an optional note below it.

        A frame of more than ``columns_per_table`` columns is shown as several tables of at most
        that many, each repeating the index, so that no table needs a horizontal scroll bar on a
        page 1280 px wide; headers wrap at underscores.
        """
        index = any(frame.index.names)
        parts = [frame.iloc[:, i:i + columns_per_table] for i in range(0, max(frame.shape[1], 1), columns_per_table)]
        tables = []
        for part in parts:
            table = part.to_html(border=0, classes="data", na_rep="-",
                                 float_format=lambda v: f"{v:.{digits}g}", index=index)
            tables.append(f'<div class="wide">{_breakable(table)}</div>')
        body = "".join(tables) + (f'<p class="note">{html.escape(note)}</p>' if note else "")
        self._sections.append(_section(heading, body))

    def add_figures(self, heading: str, figures: Sequence[Figure]) -> None:
        """Figures embedded from their PNG files as data URIs, each with its caption."""
        parts = []
        for figure in figures:
            data = Path(figure.path).read_bytes()
            width, height = png_size(data)
            uri = "data:image/png;base64," + base64.b64encode(data).decode("ascii")
            caption = html.escape(figure.caption)
            parts.append(f'<figure><img src="{uri}" width="{width}" height="{height}" alt="{caption}">'
                         f"<figcaption>{caption}</figcaption></figure>")
        self._sections.append(_section(heading, "".join(parts)))

    def html(self) -> str:
        """The page as one string."""
        subtitle = f'<p class="subtitle">{html.escape(self.subtitle)}</p>' if self.subtitle else ""
        lead = f'<div class="lead">{"".join(self._lead)}</div>' if self._lead else ""
        return _PAGE.format(title=html.escape(self.title), subtitle=subtitle + lead,
                            sections="\n".join(self._sections))

    def write(self, path: Path) -> Path:
        """Writes the page to ``path`` (UTF-8, ``\\n`` line ends) and returns the path."""
        path = Path(path)
        page = self.html()
        with replaced_atomically(path) as temporary:
            temporary.write_text(page, encoding="utf-8", newline="\n")
        return path


def _text(value: Any) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, (list, tuple)):
        return ", ".join(_text(v) for v in value)
    return str(value)


def _breakable(table: str) -> str:
    """Header cells may wrap after underscores and dots (a zero-width break opportunity)."""
    head, *rest = table.split("<thead>", 1)
    if not rest:
        return table
    thead, tail = rest[0].split("</thead>", 1)
    thead = thead.replace("_", "_<wbr>").replace(".", ".<wbr>")
    return f"{head}<thead>{thead}</thead>{tail}"


def _section(heading: str, body: str) -> str:
    return f"<section><h2>{html.escape(heading)}</h2>{body}</section>"


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>
body {{ font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 72rem; padding: 0 1rem;
       color: #1d2329; line-height: 1.45; }}
h1 {{ margin-bottom: 0.2rem; }}
.subtitle {{ color: #56606b; margin-top: 0; }}
h2 {{ border-bottom: 1px solid #d5dbe1; padding-bottom: 0.2rem; margin-top: 2rem; }}
table {{ border-collapse: collapse; margin: 0.5rem 0; font-variant-numeric: tabular-nums; }}
th, td {{ padding: 0.25rem 0.7rem; border-bottom: 1px solid #e4e8ec; }}
.wide {{ overflow-x: auto; max-width: 100%; }}
.lead {{ background: #eef5ee; border-left: 4px solid #3b7d3b; padding: 0.6rem 1rem; margin: 1rem 0; }}
.lead .answer {{ font-size: 1.15rem; font-weight: 600; }}
.lead p {{ margin: 0.4rem 0; }}
table.data {{ font-size: 0.9rem; }}
table.data td {{ text-align: right; }}
table.data thead th {{ background: #f2f4f6; text-align: right; vertical-align: bottom; max-width: 9rem; }}
table.data td.text, table.data th.text {{ text-align: left; }}
dl.legend {{ font-size: 0.85rem; color: #56606b; display: grid; grid-template-columns: max-content 1fr;
             gap: 0 0.8rem; }}
dl.legend dt {{ font-weight: 600; }}
dl.legend dd {{ margin: 0; }}
table.settings th {{ text-align: left; font-weight: 600; }}
figure {{ margin: 1rem 0 2rem; }}
figure img {{ max-width: 100%; height: auto; border: 1px solid #e4e8ec; }}
figcaption {{ color: #56606b; font-size: 0.9rem; }}
.note {{ color: #56606b; font-size: 0.9rem; }}
</style>
</head>
<body>
<h1>{title}</h1>
{subtitle}
{sections}
</body>
</html>
"""
