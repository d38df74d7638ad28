#!/usr/bin/env python3
"""Checks a saved .xlsx workbook against expectations, cell by cell.

    check_workbook.py WORKBOOK EXPECTATIONS.json

Reads the workbook with openpyxl (values, number formats, fonts, fills, borders, alignment,
column widths, row heights, merged ranges) and reads the rich-text runs, which openpyxl does
not keep, straight from xl/sharedStrings.xml. Exit status 0 when everything matches, 1 with
one line per mismatch otherwise, 2 when the check cannot run.

Expectations (JSON):

    {
      "sheets": ["Results"],          exact sheet names, in order (optional)
      "active": "Results",            the active sheet (optional)
      "sheet": "Results",             the sheet the rest refers to (default: the first)
      "columns": {"E": 25},           column widths in characters
      "rows": {"6": 18},              row heights in points
      "merged": ["E4:H4"],            exactly these merged ranges
      "styles": {"header": STYLE},    named styles for the cells
      "cells": [CELL, ...],
      "only_listed": true             no other cell has a value, and no other column or row
                                      has a width or height of its own
    }

    CELL:  {"ref": "E7", one of "number": 24.3 | "time": "9:05" | "date": "2021-03-07" |
            "text": "..." (none: empty), "style": NAME or STYLE (none: the default style),
            "runs": [{"text": "Value, Bq/m"}, {"text": "3", "font": {"script": "superscript"}}]}
    STYLE: {"font": {"name", "size", "color": "RRGGBB", "bold", "italic", "strike",
                     "script": "superscript"|"subscript", "underline": "single"|"double"|
                     "singleAccounting"|"doubleAccounting"},
            "fill": "RRGGBB", "horizontal": "center", "vertical": "center",
            "borders": {"left": {"style": "medium", "color": "RRGGBB"}, "top": ..., ...}}

Keys left out take the spreadsheet's defaults (Calibri 11, automatic colour, no fill, general
and bottom alignment, no borders), so stray formatting is caught as well. A run's font is the
cell's font with the run's keys changed; every run must carry its font.
"""

import datetime
import json
import re
import sys
import zipfile
import xml.etree.ElementTree as ET

try:
    import openpyxl
    from openpyxl.utils import column_index_from_string, get_column_letter
except ImportError as error:  # pragma: no cover
    print(f"check_workbook: openpyxl is not available ({error})")
    sys.exit(2)

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
REL = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
PKG_REL = "{http://schemas.openxmlformats.org/package/2006/relationships}"

ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")


def unescaped(text):
    """Text as the spreadsheet shows it: the file writes control characters as _xHHHH_."""
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), text) if isinstance(text, str) else text


DEFAULT_FONT = {
    "name": "Calibri",
    "size": 11.0,
    "color": None,
    "bold": False,
    "italic": False,
    "strike": False,
    "script": None,
    "underline": None,
}
EDGES = ("left", "top", "bottom", "right")


class Checker:
    def __init__(self):
        self.problems = []

    def expect(self, where, what, actual, expected):
        if isinstance(actual, dict) and isinstance(expected, dict):
            for key in sorted(set(actual) | set(expected)):
                self.expect(where, f"{what} {key}", actual.get(key), expected.get(key))
        elif actual != expected:
            self.problems.append(f"{where}: {what} is {actual!r}, expected {expected!r}")


def font_of(expected):
    font = dict(DEFAULT_FONT)
    for key, value in (expected or {}).items():
        if key not in font:
            raise ValueError(f"unknown font key {key!r}")
        font[key] = float(value) if key == "size" else value
    if font["color"] is not None:
        font["color"] = font["color"].upper()
    return font


def style_of(wanted, styles):
    if wanted is None:
        wanted = {}
    elif isinstance(wanted, str):
        wanted = styles[wanted]
    borders = {}
    for edge in EDGES:
        side = (wanted.get("borders") or {}).get(edge)
        borders[edge] = None if side is None else (side["style"], side.get("color", "").upper() or None)
    return {
        "font": font_of(wanted.get("font")),
        "fill": wanted["fill"].upper() if wanted.get("fill") else None,
        "horizontal": wanted.get("horizontal", "general"),
        "vertical": wanted.get("vertical", "bottom"),
        "borders": borders,
    }


def rgb_of(color):
    """'RRGGBB' of an openpyxl colour, None for automatic or theme colours."""
    if color is None or getattr(color, "type", None) != "rgb" or color.rgb is None:
        return None
    value = str(color.rgb).upper()
    return value[-6:]


def actual_font(font):
    return {
        "name": font.name,
        "size": float(font.sz) if font.sz is not None else None,
        "color": rgb_of(font.color),
        "bold": bool(font.b),
        "italic": bool(font.i),
        "strike": bool(font.strike),
        "script": font.vertAlign if font.vertAlign not in (None, "baseline") else None,
        "underline": font.u if font.u not in (None, "none") else None,
    }


def actual_style(cell):
    borders = {}
    for edge in EDGES:
        side = getattr(cell.border, edge)
        borders[edge] = None if side is None or side.style is None else (side.style, rgb_of(side.color))
    fill = None
    if cell.fill is not None and cell.fill.fill_type == "solid":
        fill = rgb_of(cell.fill.fgColor) or "?"
    elif cell.fill is not None and cell.fill.fill_type is not None:
        fill = f"pattern {cell.fill.fill_type}"
    return {
        "font": actual_font(cell.font),
        "fill": fill,
        "horizontal": cell.alignment.horizontal or "general",
        "vertical": cell.alignment.vertical or "bottom",
        "borders": borders,
    }


def check_value(checker, ref, cell, wanted):
    kinds = [key for key in ("number", "time", "date", "text") if key in wanted]
    if len(kinds) > 1:
        raise ValueError(f"{ref}: more than one value given")
    value = cell.value
    fmt = cell.number_format
    if not kinds:
        checker.expect(ref, "value", value, None)
        return
    kind = kinds[0]
    if kind == "number":
        expected = wanted["number"]
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            checker.problems.append(f"{ref}: value {value!r} is not a number (expected {expected!r})")
        elif abs(value - expected) > 1e-9:
            checker.expect(ref, "number", value, expected)
        checker.expect(ref, "number format", fmt, "General")
    elif kind == "time":
        hours, minutes = (int(part) for part in wanted["time"].split(":"))
        checker.expect(ref, "time", value, datetime.time(hours, minutes))
        checker.expect(ref, "number format", fmt, "h:mm")
    elif kind == "date":
        expected = datetime.datetime.strptime(wanted["date"], "%Y-%m-%d")
        checker.expect(ref, "date", value, expected)
        checker.expect(ref, "number format", fmt, "dd.mm.yyyy")
    else:
        if cell.data_type != "s":
            checker.problems.append(f"{ref}: value {value!r} is not text (type {cell.data_type!r})")
        checker.expect(ref, "text", unescaped(value), wanted["text"])
        checker.expect(ref, "number format", fmt, "General")


class RichText:
    """The shared strings of one sheet, with their runs, read from the package itself."""

    def __init__(self, path, sheet_index):
        with zipfile.ZipFile(path) as package:
            names = set(package.namelist())
            workbook = ET.fromstring(package.read("xl/workbook.xml"))
            sheet = workbook.find(f"{MAIN}sheets")[sheet_index]
            rel_id = sheet.get(f"{REL}id")
            rels = ET.fromstring(package.read("xl/_rels/workbook.xml.rels"))
            target = next(r.get("Target") for r in rels.iter(f"{PKG_REL}Relationship")
                          if r.get("Id") == rel_id)
            sheet_path = target.lstrip("/") if target.startswith("/") else "xl/" + target
            sheet_xml = ET.fromstring(package.read(sheet_path))
            self.cells = {}
            for c in sheet_xml.iter(f"{MAIN}c"):
                v = c.find(f"{MAIN}v")
                self.cells[c.get("r")] = (c.get("t"), None if v is None else v.text)
            self.strings = []
            if "xl/sharedStrings.xml" in names:
                for si in ET.fromstring(package.read("xl/sharedStrings.xml")).iter(f"{MAIN}si"):
                    self.strings.append(si)

    def runs(self, ref):
        """None for a plain string, else a list of (text, font or None)."""
        kind, value = self.cells.get(ref, (None, None))
        if kind != "s":
            return "not a shared string"
        si = self.strings[int(value)]
        runs = si.findall(f"{MAIN}r")
        if not runs:
            return None
        result = []
        for r in runs:
            text = unescaped("".join(t.text or "" for t in r.iter(f"{MAIN}t")))
            rpr = r.find(f"{MAIN}rPr")
            result.append((text, None if rpr is None else run_font(rpr)))
        return result


def flag(rpr, tag):
    element = rpr.find(f"{MAIN}{tag}")
    return element is not None and element.get("val", "1") not in ("0", "false")


def run_font(rpr):
    def val(tag):
        element = rpr.find(f"{MAIN}{tag}")
        return None if element is None else element.get("val")

    color = rpr.find(f"{MAIN}color")
    rgb = color.get("rgb") if color is not None else None
    underline = rpr.find(f"{MAIN}u")
    return {
        "name": val("rFont"),
        "size": float(val("sz")) if val("sz") is not None else None,
        "color": rgb.upper()[-6:] if rgb else None,
        "bold": flag(rpr, "b"),
        "italic": flag(rpr, "i"),
        "strike": flag(rpr, "strike"),
        "script": val("vertAlign") if val("vertAlign") not in (None, "baseline") else None,
        "underline": None if underline is None else underline.get("val", "single"),
    }


def check_runs(checker, ref, rich, wanted, cell_font):
    actual = rich.runs(ref)
    expected_runs = wanted.get("runs")
    if expected_runs is None:
        if actual is not None:
            checker.problems.append(f"{ref}: has rich-text runs {actual!r}, expected plain text")
        return
    if not isinstance(actual, list):
        checker.problems.append(f"{ref}: expected rich-text runs, found {actual!r}")
        return
    texts = [text for text, _ in actual]
    checker.expect(ref, "run texts", texts, [run["text"] for run in expected_runs])
    if len(actual) != len(expected_runs):
        return
    for n, ((_, font), run) in enumerate(zip(actual, expected_runs), start=1):
        expected = dict(cell_font)
        for key, value in (run.get("font") or {}).items():
            expected[key] = float(value) if key == "size" else value
        if font is None:
            checker.problems.append(f"{ref}: run {n} carries no font")
        else:
            checker.expect(ref, f"font of run {n}", font, expected)


def column_width(sheet, index):
    for dimension in sheet.column_dimensions.values():
        low, high = dimension.min or 0, dimension.max or 0
        if low <= index <= high and dimension.customWidth:
            return dimension.width
    return None


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    path, expectations_path = argv[1], argv[2]
    with open(expectations_path, encoding="utf-8") as stream:
        wanted = json.load(stream)
    try:
        book = openpyxl.load_workbook(path)
    except Exception as error:  # noqa: BLE001 - any failure to open is the finding
        print(f"{path}: cannot be opened: {error}")
        return 1

    checker = Checker()
    if "sheets" in wanted:
        checker.expect("workbook", "sheet names", book.sheetnames, wanted["sheets"])
    if "active" in wanted:
        checker.expect("workbook", "active sheet", book.active.title, wanted["active"])
    name = wanted.get("sheet", book.sheetnames[0])
    if name not in book.sheetnames:
        print(f"{path}: no sheet named {name!r}")
        return 1
    sheet = book[name]
    rich = RichText(path, book.sheetnames.index(name))
    styles = wanted.get("styles", {})

    listed = set()
    for cell_spec in wanted.get("cells", []):
        ref = cell_spec["ref"]
        listed.add(ref)
        cell = sheet[ref]
        check_value(checker, ref, cell, cell_spec)
        expected_style = style_of(cell_spec.get("style"), styles)
        checker.expect(ref, "style", actual_style(cell), expected_style)
        if "text" in cell_spec:
            check_runs(checker, ref, rich, cell_spec, expected_style["font"])

    for letter, width in wanted.get("columns", {}).items():
        actual = column_width(sheet, column_index_from_string(letter))
        # The file stores the width with the cell padding added (25 -> 25.71).
        if actual is None or not (width <= actual < width + 1):
            checker.problems.append(f"column {letter}: width is {actual!r}, expected {width}")
    for row, height in wanted.get("rows", {}).items():
        dimension = sheet.row_dimensions.get(int(row))
        actual = dimension.height if dimension is not None else None
        checker.expect(f"row {row}", "height", actual, float(height))
    if "merged" in wanted:
        actual = sorted(str(r) for r in sheet.merged_cells.ranges)
        checker.expect(name, "merged ranges", actual, sorted(wanted["merged"]))

    if wanted.get("only_listed"):
        for row in sheet.iter_rows():
            for cell in row:
                if cell.value is not None and cell.coordinate not in listed:
                    checker.problems.append(f"{cell.coordinate}: unexpected value {cell.value!r}")
        for dimension in sheet.column_dimensions.values():
            if not dimension.customWidth:
                continue
            for index in range(dimension.min or 0, (dimension.max or 0) + 1):
                if get_column_letter(index) not in wanted.get("columns", {}):
                    checker.problems.append(f"column {get_column_letter(index)}: unexpected width")
        for index, dimension in sheet.row_dimensions.items():
            if dimension.customHeight and str(index) not in wanted.get("rows", {}):
                checker.problems.append(f"row {index}: unexpected height {dimension.height}")

    for problem in checker.problems:
        print(problem)
    if checker.problems:
        print(f"{path}: {len(checker.problems)} mismatches")
        return 1
    print(f"{path}: {len(listed)} cells as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
