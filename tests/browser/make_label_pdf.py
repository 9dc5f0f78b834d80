#!/usr/bin/python3
"""Writes a test PDF of shipping labels: two 4 x 6 in portrait pages and one
6 x 4 in landscape page, each with a Code 128 barcode of "<prefix>-<n>" and
text. Usage: make_label_pdf.py OUTPUT PREFIX (Debian's python3-reportlab)."""

import sys

from reportlab.graphics.barcode import code128
from reportlab.lib.units import inch
from reportlab.pdfgen import canvas


def main():
    output, prefix = sys.argv[1], sys.argv[2]
    c = canvas.Canvas(output, invariant=1)  # the same bytes for the same input
    for n, (w, h) in enumerate([(4, 6), (4, 6), (6, 4)], start=1):
        c.setPageSize((w * inch, h * inch))
        c.setFont("Helvetica-Bold", 18)
        c.drawString(0.3 * inch, (h - 0.6) * inch, "SHIP TO: Label %d" % n)
        c.setFont("Helvetica", 11)
        c.drawString(0.3 * inch, (h - 0.9) * inch, "1 Example Street, Testville")
        barcode = code128.Code128("%s-%d" % (prefix, n), barHeight=1.0 * inch, barWidth=0.015 * inch)
        barcode.drawOn(c, 0.3 * inch, 0.8 * inch)
        c.drawString(0.3 * inch, 0.5 * inch, "%s-%d" % (prefix, n))
        c.showPage()
    c.save()


if __name__ == "__main__":
    main()
