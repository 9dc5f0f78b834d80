"""The demo conversation: what a browser extension sends, what the host answers."""

import base64
import glob
import json
import os
import sys
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("TPH_TARGET", "windows")

import pngs  # noqa: E402
from host import PDF_DIR, Host, request, settled_jobs  # noqa: E402


def show(direction, message):
    def shorten(v):
        if isinstance(v, dict):
            return {k: shorten(x) for k, x in v.items()}
        if isinstance(v, list):
            return [shorten(x) for x in v]
        if isinstance(v, str) and len(v) > 60:
            return v[:40] + "... (%d characters)" % len(v)
        return v
    print(direction, json.dumps(shorten(message), indent=2).replace("\n", "\n   "))


def main():
    host = Host()
    # A 4 x 6 inch shipping label at 203 dpi: dark frame, bars, white inside.
    def pixel(x, y):
        frame = x < 12 or y < 12 or x >= 800 or y >= 1206
        bar = 100 < y < 400 and (x // 9) % 3 == 0
        return (0, 0, 0, 255) if frame or bar else (255, 255, 255, 255)
    png = pngs.rgba8(812, 1218, pixel)
    intent = "demo-" + uuid.uuid4().hex[:8]
    title = "Shipping label " + intent
    submit = {"intent_id": intent, "printer": "Label_PDF", "title": title, "copies": 1, "dpi": 203,
              "payload": {"format": "png", "base64": base64.b64encode(png).decode(), "width_px": 812,
                          "height_px": 1218}}
    conversation = [
        json.loads(request("hello", request_id="req-1")),
        json.loads(request("list_printers", request_id="req-2")),
        json.loads(request("submit", submit, request_id="req-3")),
        json.loads(request("submit", submit, request_id="req-4-retry")),
        json.loads(request("get_job", {"intent_id": intent}, request_id="req-5")),
    ]
    replies = host.ask(*[json.dumps(m).encode() for m in conversation])
    for sent, answered in zip(conversation, replies):
        show("->", sent)
        show("<-", answered)
        print()
    # The scheduler's own count of the jobs so named, once none is still to
    # print: then cups-pdf has written every PDF there is.
    try:
        jobs = settled_jobs(title, at_least=1)
    except AssertionError as e:
        jobs = []
        print(e)
    files = glob.glob(os.path.join(PDF_DIR, "Shipping_label_" + intent + "*.pdf")) + \
        glob.glob(os.path.join(PDF_DIR, "Shipping label " + intent + "*.pdf"))
    once = [j["state"] for j in jobs] == ["completed"] and len(files) == 1
    print("The label was printed once, into: %s" % files[0] if once else
          "The label was not printed once: jobs %r, PDFs %r" % (jobs, files))
    print("The ledger that remembers the attempt: %s" % host.ledger_path)
    host.close()
    return 0 if once else 1


if __name__ == "__main__":
    sys.exit(main())
