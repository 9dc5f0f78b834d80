#!/usr/bin/python3
"""Writes PDFs of shipping labels as carriers and marketplaces hand them out,
each label with a Code 128 and a QR code. The Code 128's module is 2 dots of
a 203-dpi printer (0.2502 mm), as labels made for such printers have it:
  letter.pdf   a US Letter page: a 6 x 4 in label in the top half, a dashed
               fold line across the middle, instructions below
  a4.pdf       an A4 page: a 4 x 6 in label in the top left quarter,
               instructions beside it and below
  a6.pdf       an A6 page, landscape (148 x 105 mm)
  102x152.pdf  a 102 x 152 mm page
  near.pdf     a 4.01 x 6.01 in page
  exact.pdf    an exact 4 x 6 in page
  mixed.pdf    a 4 x 6 in page, a Letter sheet and an A6 landscape page
  grey.pdf     a 4 x 6 in label with a 50 % grey line and a 50 %-alpha box
The codes read "<prefix>-<file>-<page>" and "Q<prefix>-<file>-<page>".
Usage: make_carrier_pdfs.py FOLDER PREFIX (Debian's python3-reportlab)."""

import os
import sys

from reportlab.graphics import renderPDF
from reportlab.graphics.barcode import code128, qr
from reportlab.graphics.shapes import Drawing
from reportlab.lib.pagesizes import A4, A6, letter, landscape
from reportlab.lib.units import inch, mm
from reportlab.pdfgen import canvas

INSET = 3 * mm


def label(c, x, y, w, h, code):
    """A label's marks in the box (x, y, w, h), points from the bottom left."""
    c.setLineWidth(1)
    c.rect(x + INSET, y + INSET, w - 2 * INSET, h - 2 * INSET)
    c.setFont("Helvetica-Bold", 14)
    c.drawString(x + 8 * mm, y + h - 14 * mm, "SHIP TO: %s" % code)
    c.setFont("Helvetica", 9)
    c.drawString(x + 8 * mm, y + h - 19 * mm, "1 Example Street, Testville 12345")
    barcode = code128.Code128(code, barWidth=2 * inch / 203, barHeight=18 * mm, quiet=True, lquiet=4 * mm, rquiet=4 * mm)
    barcode.drawOn(c, x + 6 * mm, y + 12 * mm)
    size = 24 * mm
    widget = qr.QrCodeWidget("Q" + code)
    b = widget.getBounds()
    d = Drawing(size, size, transform=[size / (b[2] - b[0]), 0, 0, size / (b[3] - b[1]), 0, 0])
    d.add(widget)
    renderPDF.draw(d, c, x + w - size - 8 * mm, y + h - size - 24 * mm)


def instructions(c, x, y, width, lines=5):
    c.setFont("Helvetica", 10)
    for i in range(lines):
        c.drawString(x, y - i * 16, "Fold along the line. Attach the label to the parcel so that the barcode is flat.")


def fold_line(c, y, width):
    c.setDash(6, 4)
    c.line(18, y, width - 18, y)
    c.setDash()


def letter_sheet(c, code):
    w, h = letter
    c.setPageSize(letter)
    label(c, (w - 6 * inch) / 2, h - 0.5 * inch - 4 * inch, 6 * inch, 4 * inch, code)
    fold_line(c, h / 2, w)
    instructions(c, 0.75 * inch, h / 2 - 0.75 * inch, w)


def page(c, size, code):
    c.setPageSize(size)
    label(c, 0, 0, size[0], size[1], code)


def main():
    folder, prefix = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)

    def document(name, pages):
        c = canvas.Canvas(os.path.join(folder, name + ".pdf"), invariant=1)
        for n, draw in enumerate(pages, start=1):
            draw(c, "%s-%s-%d" % (prefix, name, n))
            c.showPage()
        c.save()

    four_by_six = (4 * inch, 6 * inch)
    document("letter", [letter_sheet])

    def a4_sheet(c, code):
        w, h = A4
        c.setPageSize(A4)
        label(c, 12 * mm, h - 12 * mm - 6 * inch, 4 * inch, 6 * inch, code)
        c.setFont("Helvetica", 10)
        for i in range(12):
            c.drawString(12 * mm + 4 * inch + 10 * mm, h - 20 * mm - i * 14, "Keep the label dry.")
        instructions(c, 12 * mm, h - 12 * mm - 6 * inch - 15 * mm, w)

    document("a4", [a4_sheet])
    document("a6", [lambda c, code: page(c, landscape(A6), code)])
    document("102x152", [lambda c, code: page(c, (102 * mm, 152 * mm), code)])
    document("near", [lambda c, code: page(c, (4.01 * inch, 6.01 * inch), code)])
    document("exact", [lambda c, code: page(c, four_by_six, code)])
    document("mixed", [lambda c, code: page(c, four_by_six, code), letter_sheet,
                       lambda c, code: page(c, landscape(A6), code)])

    def grey(c, code):
        page(c, four_by_six, code)
        c.setStrokeGray(0.5)
        c.setLineWidth(1.5 * mm)
        c.line(0.5 * inch, 5.3 * inch, 3.5 * inch, 5.3 * inch)
        c.setFillColorRGB(0, 0, 0, alpha=0.5)
        c.rect(0.5 * inch, 2.3 * inch, 1 * inch, 1 * inch, stroke=0, fill=1)

    document("grey", [grey])


if __name__ == "__main__":
    main()
