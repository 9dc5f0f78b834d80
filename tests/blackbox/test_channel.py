"""The native channel, the envelope checks and hello, against the real process."""

import json
import struct
import time
import unittest

from host import TARGET, VERSION, Host, frame, limits, request, split_frames

MAX_REQUEST = limits()["max_request_bytes"]

HELLO_WINDOWS = (b'{"protocol":1,"request_id":"r1","ok":true,"result":{"arch":"x86_64","capabilities":'
                 b'["list_printers","submit_png","get_job","durable_idempotency","submit_raw","describe_printer",'
                 b'"submit_document","find_jobs","watch"],"platform":"windows",'
                 b'"protocol":1,"version":"' + VERSION.encode() + b'"}}')
NOT_JSON = b'{"protocol":1,"request_id":"","ok":false,"error":{"code":"BAD_REQUEST","message":"The native message is not valid protocol JSON."}}'
IO_ERROR = b"tavelin-print-host: IO_ERROR\n"


def error(request_id: str, code: str, message: str) -> dict:
    return {"protocol": 1, "request_id": request_id, "ok": False, "error": {"code": code, "message": message}}


class ChannelTest(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_hello_is_byte_exact(self):
        raw, err, status = self.host.run(frame(request("hello")))
        self.assertEqual((status, err), (0, b""))
        body = split_frames(raw)[0]
        if TARGET == "windows":
            self.assertEqual(body, HELLO_WINDOWS)
        else:
            reply = json.loads(body)
            self.assertEqual(reply["result"]["platform"], "linux")
            self.assertEqual(list(reply["result"]), ["arch", "capabilities", "platform", "protocol", "version"])
            self.assertEqual(reply["result"]["version"], VERSION)
        self.assertEqual(raw[:4], struct.pack("<I", len(body)))

    def test_error_response_is_byte_exact_with_escapes(self):
        raw, _, _ = self.host.run(frame(b'{"protocol":2,"request_id":"a\\"\\t\\u0001/\xc3\xa9","type":"hello"}') +
                                  frame(b"not json"))
        first, second = split_frames(raw)
        self.assertEqual(first, b'{"protocol":1,"request_id":"a\\"\\t\\u0001/\xc3\xa9","ok":false,"error":'
                                b'{"code":"PROTOCOL_MISMATCH","message":"Expected protocol 1."}}')
        self.assertEqual(second, NOT_JSON)

    def test_requests_split_across_reads(self):
        running = self.host.start()
        data = frame(request("hello", request_id="a")) + frame(request("hello", request_id="b"))
        for i in range(len(data)):
            running.send(data[i:i + 1])
            if i % 7 == 0:
                time.sleep(0.001)
        replies = running.wait_for_responses(2)
        self.assertEqual([r["request_id"] for r in replies], ["a", "b"])
        self.assertEqual(running.finish(), (0, b""))

    def test_each_response_is_flushed_before_the_next_request(self):
        running = self.host.start()
        running.send(frame(request("hello", request_id="first")))
        self.assertEqual(running.wait_for_responses(1)[0]["request_id"], "first")
        running.send(frame(request("hello", request_id="second")))
        self.assertEqual(running.wait_for_responses(2)[1]["request_id"], "second")
        self.assertEqual(running.finish(), (0, b""))

    def test_end_of_input_at_a_boundary(self):
        self.assertEqual(self.host.run(b""), (b"", b"", 0))
        raw, err, status = self.host.run(frame(request("hello")))
        self.assertEqual((len(split_frames(raw)), err, status), (1, b"", 0))

    def test_framing_failures_end_the_process(self):
        cases = {
            "one prefix byte": b"\x05",
            "three prefix bytes": b"\x05\x00\x00",
            "zero length": b"\x00\x00\x00\x00",
            "one byte over the request limit": struct.pack("<I", MAX_REQUEST + 1) + b"{}",
            "body cut short": struct.pack("<I", 10) + b"123456789",
            "after a good request": frame(request("hello")) + b"\x00\x00",
        }
        for name, data in cases.items():
            with self.subTest(name):
                raw, err, status = self.host.run(data)
                self.assertEqual((err, status), (IO_ERROR, 1))
                self.assertEqual(len(split_frames(raw)), 1 if name == "after a good request" else 0)

    def test_largest_message_is_read(self):
        body = request("hello")
        body = body[:-1] + b',"pad":"' + b"x" * (MAX_REQUEST - len(body) - 9) + b'"}'
        self.assertEqual(len(body), MAX_REQUEST)
        self.assertEqual(self.host.ask(body)[0]["ok"], True)

    def test_failure_table_with_request_id_echo(self):
        long_id = "a" * (limits()["request_id_max_bytes"] + 1)
        cases = [
            (b"{", error("", "BAD_REQUEST", "The native message is not valid protocol JSON.")),
            (b'"hello"', error("", "BAD_REQUEST", "The native message is not valid protocol JSON.")),
            (b'\xef\xbb\xbf{"protocol":1,"request_id":"x","type":"hello"}',
             error("", "BAD_REQUEST", "The native message is not valid protocol JSON.")),
            (b'{"protocol":1,"request_id":"x","type":"hello"} 1',
             error("", "BAD_REQUEST", "The native message is not valid protocol JSON.")),
            (b'{"protocol":1.0,"request_id":"x","type":"hello"}',
             error("", "BAD_REQUEST", "The native message is not valid protocol JSON.")),
            (request("hello", request_id="bad id", protocol=0), error("bad id", "PROTOCOL_MISMATCH", "Expected protocol 1.")),
            (request("hello", request_id=long_id), error(long_id, "BAD_REQUEST", "request_id contains unsupported characters.")),
            (request("hello", request_id=""), error("", "BAD_REQUEST", "request_id contains unsupported characters.")),
            (request("Hello", request_id="x"), error("x", "UNKNOWN_MESSAGE", "The print helper does not support that message type.")),
            (request("submit", request_id="x", omit_payload=True),
             error("x", "BAD_REQUEST", "The print job does not match protocol 1: payload is missing.")),
            (request("get_job", {"intent_id": "a/b"}, request_id="x"),
             error("x", "BAD_REQUEST", "intent_id contains unsupported characters.")),
            (b'[1,"arr","hello"]', None),
        ]
        replies = self.host.ask(*[body for body, _ in cases])
        for (body, expected), reply in zip(cases, replies):
            with self.subTest(body[:60]):
                if expected is None:
                    self.assertTrue(reply["ok"])
                    self.assertEqual(reply["request_id"], "arr")
                else:
                    self.assertEqual(reply, expected)

    def test_closed_standard_output_is_a_fatal_write_error(self):
        import os
        import subprocess
        r, w = os.pipe()
        os.close(r)  # the browser went away
        p = subprocess.run(self.host.command, input=frame(request("hello")) * 3, stdout=w, stderr=subprocess.PIPE,
                           env=self.host.env, timeout=60)
        os.close(w)
        self.assertEqual((p.stderr, p.returncode), (IO_ERROR, 1))


if __name__ == "__main__":
    unittest.main()
