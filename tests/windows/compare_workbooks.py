#!/usr/bin/python3
"""Compares two .xlsx workbooks as a spreadsheet reads them: sheets, merged ranges, column widths,
row heights, and every cell's value, number format, font, fill, borders and alignment.
Exit 0 when they are the same; otherwise each difference is printed.

    compare_workbooks.py A.xlsx B.xlsx
"""
import sys

import openpyxl


def colour(c):
    return None if c is None else (c.type, c.rgb if c.type == "rgb" else c.value)


def side(s):
    return (s.style, colour(s.color)) if s is not None else None


def style(cell):
    f, fill, b, a = cell.font, cell.fill, cell.border, cell.alignment
    return (
        cell.number_format,
        (f.name, f.sz, f.b, f.i, f.u, f.strike, f.vertAlign, colour(f.color)),
        (fill.fill_type, colour(fill.fgColor)),
        tuple(side(x) for x in (b.left, b.right, b.top, b.bottom)),
        (a.horizontal, a.vertical, a.wrap_text),
    )


def describe(path):
    book = openpyxl.load_workbook(path)
    out = {"sheets": book.sheetnames, "active": book.active.title}
    for sheet in book.worksheets:
        key = sheet.title
        out[key + ":merged"] = sorted(str(r) for r in sheet.merged_cells.ranges)
        out[key + ":columns"] = {k: v.width for k, v in sheet.column_dimensions.items()}
        out[key + ":rows"] = {k: v.height for k, v in sheet.row_dimensions.items()}
        for row in sheet.iter_rows():
            for cell in row:
                if cell.value is None and not cell.has_style:
                    continue
                out[key + "!" + cell.coordinate] = (cell.value, style(cell))
    return out


def main():
    a, b = describe(sys.argv[1]), describe(sys.argv[2])
    differences = [k for k in sorted(set(a) | set(b)) if a.get(k) != b.get(k)]
    for k in differences[:50]:
        print(f"{k}: {a.get(k)!r} != {b.get(k)!r}")
    print(f"{len(a)} items compared, {len(differences)} different")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
