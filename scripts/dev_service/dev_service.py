"""A small stand-in for the Orvelquin service, for development and demos on this machine only.

State lives in memory. Device data comes from the agent and is escaped before it is shown.
"""
import argparse
import html
import json
import secrets
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEMO_EMAIL = "demo@orvelquin.test"
DEMO_PASSWORD = "demo"
MAX_BODY = 1024 * 1024


class State:
    def __init__(self, latest_version, fail_heartbeats, delay):
        self.lock = threading.Lock()
        self.latest_version = latest_version
        self.fail_heartbeats = fail_heartbeats  # 0: answer normally, else this status code
        self.delay = delay
        self.access_tokens = set()
        self.devices = {}  # id -> dict
        self.sessions = {}  # device token -> device id


class Handler(BaseHTTPRequestHandler):
    server_version = "orvelquin-dev-service"
    # Persistent connections, as a production HTTP/1.1 service keeps them: every reply has a
    # Content-Length, so a client can send its next request on the same connection.
    protocol_version = "HTTP/1.1"
    state: State = None

    def log_message(self, fmt, *args):
        pass

    # --- helpers -------------------------------------------------------------------------------
    def reply(self, status, payload=None, content_type="application/json", body=None):
        if body is None:
            body = json.dumps(payload).encode() if payload is not None else b""
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def fail(self, status, detail):
        self.reply(status, {"detail": detail})

    def bearer(self):
        value = self.headers.get("Authorization", "")
        return value[len("Bearer "):] if value.startswith("Bearer ") else None

    def json_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length > MAX_BODY:
            self.close_connection = True  # the unread body would be taken for the next request
            return None
        try:
            data = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return None
        return data if isinstance(data, dict) else None

    # --- API -----------------------------------------------------------------------------------
    def do_POST(self):
        s = self.state
        if s.delay:
            time.sleep(s.delay)
        body = self.json_body()
        if body is None:
            return self.fail(400, "Request body must be a JSON object")
        path = self.path.split("?", 1)[0]
        with s.lock:
            if path == "/auth/login":
                if body.get("email") != DEMO_EMAIL or body.get("password") != DEMO_PASSWORD:
                    return self.fail(401, "Invalid email or password")
                token = "at_" + secrets.token_urlsafe(16)
                s.access_tokens.add(token)
                return self.reply(200, {"access_token": token, "refresh_token": "rt_" + secrets.token_urlsafe(16)})
            if path == "/v1/devices/register":
                if self.bearer() not in s.access_tokens:
                    return self.fail(401, "Not signed in")
                device_id = "dev_" + secrets.token_hex(6)
                info = {k: body.get(k) for k in ("platform", "architecture", "os_version", "cpu", "gpu", "ram_bytes")}
                s.devices[device_id] = {"name": body.get("name"), "software_version": body.get("software_version"),
                                        "info": info, "revoked": False, "last_heartbeat": None, "runtime": None}
                return self.reply(200, {"device_id": device_id, "approved": True})
            if path.startswith("/v1/devices/") and path.endswith("/session"):
                device_id = path[len("/v1/devices/"):-len("/session")]
                if self.bearer() not in s.access_tokens:
                    return self.fail(401, "Not signed in")
                device = s.devices.get(device_id)
                if device is None or device["revoked"]:
                    return self.fail(404, "Unknown device")
                token = "dt_" + secrets.token_urlsafe(24)
                s.sessions[token] = device_id
                return self.reply(200, {"device_token": token, "expires_at": None})
            if path == "/v1/devices/heartbeat":
                if s.fail_heartbeats:
                    return self.reply(s.fail_heartbeats, body=b"")
                device_id = s.sessions.get(self.bearer())
                device = s.devices.get(device_id)
                if device is None or device["revoked"]:
                    return self.fail(401, "Invalid device session")
                device["last_heartbeat"] = time.strftime("%Y-%m-%d %H:%M:%S")
                device["info"] = body.get("device_info")
                device["runtime"] = body.get("runtime")
                return self.reply(200, {"ok": True})
            if path.startswith("/console/devices/") and path.endswith("/revoke"):
                device_id = path[len("/console/devices/"):-len("/revoke")]
                if device_id in s.devices:
                    s.devices[device_id]["revoked"] = True
                return self.redirect_to_devices()
            if path == "/console/faults":
                s.fail_heartbeats = int(body.get("fail_heartbeats") or 0)
                return self.reply(200, {"fail_heartbeats": s.fail_heartbeats})
        return self.fail(404, "Not found")

    def redirect_to_devices(self):
        self.send_response(303)
        self.send_header("Location", "/console/devices")
        self.send_header("Content-Length", "0")
        self.end_headers()

    # --- pages ---------------------------------------------------------------------------------
    def do_GET(self):
        s = self.state
        path = self.path.split("?", 1)[0]
        if path == "/api/desktop/releases/latest":
            return self.reply(200, {"latest_version": s.latest_version})
        if path == "/console":
            return self.page("Console", "<p>Signed in as the demo account. <a href='/console/devices'>Devices</a></p>")
        if path == "/console/devices":
            return self.page("Devices", self.devices_html())
        if path == "/download":
            return self.page("Download", f"<p>The latest developer preview is {html.escape(s.latest_version)}.</p>")
        return self.fail(404, "Not found")

    def devices_html(self):
        with self.state.lock:
            devices = [(k, dict(v)) for k, v in self.state.devices.items()]
        if not devices:
            return "<p>No devices registered yet.</p>"
        rows = []
        for device_id, d in devices:
            e = html.escape
            revoke = ("revoked" if d["revoked"] else
                      f"<form method='post' action='/console/devices/{e(device_id)}/revoke'>"
                      "<button>Revoke</button></form>")
            rows.append(
                f"<tr><td>{e(device_id)}</td><td>{e(str(d['name']))}</td><td>{e(str(d['last_heartbeat'] or '—'))}</td>"
                f"<td><pre>{e(json.dumps(d['info'], indent=1))}</pre></td>"
                f"<td><pre>{e(json.dumps(d['runtime'], indent=1))}</pre></td><td>{revoke}</td></tr>")
        return ("<table border=1 cellpadding=4><tr><th>Device</th><th>Name</th><th>Last heartbeat</th>"
                "<th>Host</th><th>Runtime telemetry</th><th></th></tr>" + "".join(rows) + "</table>")

    def page(self, title, content):
        body = (f"<!doctype html><meta charset=utf-8><title>Orvelquin {html.escape(title)}</title>"
                f"<h1>Orvelquin {html.escape(title)}</h1>{content}").encode()
        self.reply(200, content_type="text/html; charset=utf-8", body=body)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Local development service for Orvelquin Desktop")
    parser.add_argument("--port", type=int, default=8787)
    parser.add_argument("--latest-version", default="0.3.1")
    parser.add_argument("--fail-heartbeats", type=int, default=0, metavar="STATUS",
                        help="answer every heartbeat with this HTTP status (e.g. 503)")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS", help="delay every API reply")
    args = parser.parse_args(argv)
    Handler.state = State(args.latest_version, args.fail_heartbeats, args.delay)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    print(f"Orvelquin development service on http://127.0.0.1:{server.server_address[1]} "
          f"(account {DEMO_EMAIL} / {DEMO_PASSWORD})", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0
