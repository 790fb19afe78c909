#!/usr/bin/env python3
"""Checks the local autoupdate service that the network tests rely on."""

import hashlib
import http.client
import json
import os
import subprocess
import sys
import tempfile
import unittest

SERVICE = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "autoupdate_service.py")


class AutoupdateServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.content = os.urandom(10000)
        with open(os.path.join(cls.folder.name, "package.bin"), "wb") as f:
            f.write(cls.content)
        cls.process = subprocess.Popen(
            [sys.executable, SERVICE, "--root", cls.folder.name],
            stdout=subprocess.PIPE, text=True)
        cls.port = int(cls.process.stdout.readline())

    @classmethod
    def tearDownClass(cls):
        cls.process.terminate()
        cls.process.wait()
        cls.folder.cleanup()

    def setUp(self):
        self.control("reset")

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        try:
            data = response.read()
        except http.client.IncompleteRead as error:
            data = error.partial
        connection.close()
        return response, data

    def control(self, command, payload=None):
        response, data = self.request("POST", "/_control/" + command,
                                      json.dumps(payload) if payload is not None else None)
        self.assertEqual(response.status, 200)
        return json.loads(data)

    def test_refuses_what_it_cannot_serve(self):
        response, _ = self.request("GET", "/package.bin", headers={"Range": "bytes=10000-"})
        self.assertEqual(response.status, 416)
        response, _ = self.request("GET", "/../autoupdate_service.py")
        self.assertEqual(response.status, 404)
        response, _ = self.request("POST", "/_control/rule", body=b'{"responses": []}')
        self.assertEqual(response.status, 400)
        response, _ = self.request("POST", "/_control/reply", body=b"{not json")
        self.assertEqual(response.status, 400)

    def test_download_url_reply(self):
        checksum = hashlib.sha256(self.content).hexdigest()
        self.control("reply", {"stream": "developer", "installer_file": "package.bin",
                               "extra": {"url_welcome": "http://welcome.test/"}})
        response, data = self.request("POST", "/netinstaller/developer", body=b"blob")
        reply = json.loads(data)
        self.assertEqual(reply["installer"], "http://127.0.0.1:%d/package.bin" % self.port)
        self.assertEqual(reply["installer_checksum"], checksum)
        self.assertEqual(reply["url_welcome"], "http://welcome.test/")
        self.control("reply", {"installer_file": "package.bin", "wrong_checksum": True})
        _, data = self.request("GET", "/netinstaller/developer")
        wrong = json.loads(data)["installer_checksum"]
        self.assertNotEqual(wrong, checksum)
        self.assertEqual(len(wrong), len(checksum))
        self.control("reply", {"installer_file": "package.bin", "malformed": True})
        _, data = self.request("GET", "/netinstaller/developer")
        with self.assertRaises(ValueError):
            json.loads(data)
        response, _ = self.request("GET", "/netinstaller/stable")
        self.assertEqual(response.status, 404)

    def test_records_requests_reports_and_serves_prefs(self):
        self.request("POST", "/netinstaller/feedback", body=b'{"a":1}')
        self.control("prefs", {"path": "/api/prefs/x", "text": '{"k":"v"}'})
        _, data = self.request("GET", "/api/prefs/x")
        self.assertEqual(data, b'{"k":"v"}')
        _, data = self.request("GET", "/api/prefs/other")
        self.assertEqual(data, b"{}")
        self.request("GET", "/package.bin", headers={"Range": "bytes=5-"})
        self.assertEqual(self.control("reports"), ['{"a":1}'])
        log = self.control("log")
        self.assertEqual([(r["method"], r["path"]) for r in log],
                         [("POST", "/netinstaller/feedback"), ("GET", "/api/prefs/x"),
                          ("GET", "/api/prefs/other"), ("GET", "/package.bin")])
        self.assertEqual(log[0]["body"], '{"a":1}')
        self.assertEqual(log[3]["range"], "bytes=5-")


if __name__ == "__main__":
    unittest.main()
