#!/usr/bin/env python3
"""The development service's own check: the demo account, the device flow, revocation, faults
and the pages, over real HTTP against a started `scripts/dev-service`."""
import json
import os
import subprocess
import sys
import unittest
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


OPENER = urllib.request.build_opener(NoRedirect)


class DevServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.service = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "dev-service"), "--port", "0", "--latest-version", "9.1.0"],
            stdout=subprocess.PIPE, text=True)
        banner = cls.service.stdout.readline()
        cls.base = banner.split(" on ", 1)[1].split(" ", 1)[0]
        assert cls.base.startswith("http://127.0.0.1:"), banner

    @classmethod
    def tearDownClass(cls):
        cls.service.terminate()
        cls.service.wait(10)
        cls.service.stdout.close()

    def call(self, path, body=None, token=None, method=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("Content-Type", "application/json")
        if token:
            request.add_header("Authorization", "Bearer " + token)
        try:
            with OPENER.open(request, timeout=10) as reply:
                raw = reply.read()
                status = reply.status
        except urllib.error.HTTPError as error:
            raw, status = error.read(), error.code
        try:
            return status, json.loads(raw) if raw else None
        except ValueError:
            return status, raw.decode()

    def sign_in(self):
        status, login = self.call("/auth/login", {"email": "demo@orvelquin.test", "password": "demo"})
        self.assertEqual(status, 200)
        status, device = self.call("/v1/devices/register",
                                   {"name": "<script>x</script>", "platform": "linux", "ram_bytes": 1},
                                   login["access_token"])
        self.assertEqual(status, 200)
        status, session = self.call(f"/v1/devices/{device['device_id']}/session", {}, login["access_token"])
        self.assertEqual(status, 200)
        return device["device_id"], session["device_token"]

    def heartbeat(self, token):
        return self.call("/v1/devices/heartbeat",
                         {"online": True, "status": "online", "device_info": {"cpu": "c"}, "runtime": {"r": 1}}, token)

    def test_wrong_credentials_are_refused_with_a_detail(self):
        self.assertEqual(self.call("/auth/login", {"email": "demo@orvelquin.test", "password": "no"}),
                         (401, {"detail": "Invalid email or password"}))
        self.assertEqual(self.call("/v1/devices/register", {"name": "n"})[0], 401)

    def test_device_flow_listing_and_revocation(self):
        device_id, token = self.sign_in()
        self.assertEqual(self.heartbeat(token), (200, {"ok": True}))
        status, page = self.call("/console/devices")
        self.assertEqual(status, 200)
        self.assertIn(device_id, page)
        self.assertIn("&lt;script&gt;", page)
        self.assertNotIn("<script>", page)
        status, _ = self.call(f"/console/devices/{device_id}/revoke", {})
        self.assertEqual(status, 303)
        self.assertEqual(self.heartbeat(token), (401, {"detail": "Invalid device session"}))
        self.assertEqual(self.heartbeat("dt_unknown"), (401, {"detail": "Invalid device session"}))

    def test_faults_can_be_switched_while_running(self):
        _, token = self.sign_in()
        self.assertEqual(self.call("/console/faults", {"fail_heartbeats": 503})[0], 200)
        try:
            self.assertEqual(self.heartbeat(token)[0], 503)
        finally:
            self.call("/console/faults", {"fail_heartbeats": 0})
        self.assertEqual(self.heartbeat(token)[0], 200)

    def test_release_and_pages(self):
        self.assertEqual(self.call("/api/desktop/releases/latest"), (200, {"latest_version": "9.1.0"}))
        for page in ("/console", "/download"):
            status, text = self.call(page)
            self.assertEqual(status, 200)
            self.assertIn("Orvelquin", text)
        self.assertEqual(self.call("/nowhere")[0], 404)


if __name__ == "__main__":
    sys.exit(unittest.main(verbosity=1))
