"""Fixtures of the command-line host's tests: the host and the worker shim that ctest built."""
import os
import pathlib
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = SOURCE_DIR / "examples" / "sample.pdf"
PRODUCERS = SOURCE_DIR / "tests" / "fixtures" / "producers"


def _built(var):
    path = os.environ.get(var)
    if not path:
        pytest.skip(f"{var} is not set (ctest sets it)")
    return path


@pytest.fixture(scope="session")
def cli():
    return _built("PDFEXTRACTIMG_CLI")


@pytest.fixture(scope="session")
def shim_env():
    """The environment that makes the host's workers crash or hang on the shim's file names."""
    env = dict(os.environ, LD_PRELOAD=_built("PDFEXTRACTIMG_WORKER_SHIM"))
    # Under AddressSanitizer the preloaded shim comes before the sanitizer's runtime.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
    return env


@pytest.fixture
def run(cli):
    def run(*args, env=None, input=None):
        return subprocess.run([cli, *map(os.fsencode, args)], capture_output=True, env=env,
                              input=input, timeout=120)
    return run
