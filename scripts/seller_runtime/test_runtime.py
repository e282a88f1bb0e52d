"""The reference runtime's launch contract: its refusals, and a clean exit on SIGTERM whenever it lands."""
import os
import signal
import subprocess
import sys
import unittest

RUNTIME = os.path.join(os.path.dirname(os.path.abspath(__file__)), "orvelquin-seller-runtime")
GOOD_ENV = {"ORVELQUIN_BASE_URL": "http://127.0.0.1:8787", "ORVELQUIN_SELLER_JWT": "dt",
            "ORVELQUIN_SELLER_PROVIDER": "fake", "ORVELQUIN_SELLER_CAPACITY": "1",
            "ORVELQUIN_SELLER_SELL_ENABLED": "false"}

# Runs the runtime with a SIGTERM raised just before each call it could sleep in: the moment
# when a runtime that checks a flag and then pauses sleeps through its stop.
SIGTERM_JUST_BEFORE_THE_WAIT = """
import runpy, signal, sys
def after_sigterm(wait):
    def wrapped(*args, **kwargs):
        signal.raise_signal(signal.SIGTERM)
        return wait(*args, **kwargs)
    return wrapped
for name in ("pause", "sigwait", "sigwaitinfo", "sigtimedwait"):
    setattr(signal, name, after_sigterm(getattr(signal, name)))
sys.argv[:] = [sys.argv[1], "--provider", "fake", "--capacity", "1"]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def run(args, env_changes=None, command=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("ORVELQUIN_")}
    env.update(GOOD_ENV)
    for key, value in (env_changes or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return subprocess.Popen((command or [RUNTIME]) + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class RuntimeContract(unittest.TestCase):
    def test_refusals(self):
        cases = [
            (["--provider", "real", "--capacity", "1"], {}, "unsupported provider"),
            (["--provider", "fake", "--capacity", "0"], {}, "capacity must be at least 1"),
            (["--provider", "fake", "--capacity", "1"], {"ORVELQUIN_SELLER_JWT": None}, "ORVELQUIN_SELLER_JWT"),
            (["--provider", "fake"], {}, "--capacity"),
        ]
        for args, env, message in cases:
            with self.subTest(args=args, env=env):
                process = run(args, env)
                _, err = process.communicate(timeout=10)
                self.assertNotEqual(process.returncode, 0)
                self.assertIn(message, err)

    def test_runs_until_sigterm_without_selling(self):
        process = run(["--provider", "fake", "--capacity", "1"])
        line = process.stdout.readline()
        self.assertIn("selling=off", line)
        self.assertIsNone(process.poll())
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        process.stdout.close()
        process.stderr.close()

    def test_sigterm_just_before_the_wait_is_not_lost(self):
        process = run([RUNTIME], command=[sys.executable, "-c", SIGTERM_JUST_BEFORE_THE_WAIT])
        try:
            out, err = process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail("the runtime slept through a SIGTERM")
        self.assertEqual(process.returncode, 0, err)
        self.assertIn("stopping", out)


if __name__ == "__main__":
    sys.exit(unittest.main())
