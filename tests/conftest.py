import random
import socket

import pytest

# The address every host name resolves to in tests: globally routed, so the
# engine's destination check lets a fake fetcher's made-up names through.
# Nothing is ever sent to it (only fakes are handed such names).
TEST_PUBLIC_ADDRESS = "93.184.216.34"


@pytest.fixture
def fresh(server):
    """The module's loopback `server`, its counts reset; every request must
    have ended when the test is done."""
    server.reset_counts()
    yield server
    assert server.wait_idle(), "a request was left open on the server"


@pytest.fixture
def rng():
    """A seeded generator, so generated parity cases are reproducible."""
    return random.Random(20261207)


@pytest.fixture(autouse=True)
def no_dns(monkeypatch):
    """No test asks DNS: numeric hosts resolve as usual, `localhost` and
    `*.localhost` to 127.0.0.1, names under `.invalid` not at all, and every
    other name to TEST_PUBLIC_ADDRESS, all without leaving the process."""
    real = socket.getaddrinfo

    def local_getaddrinfo(host, port, family=0, type=0, proto=0, flags=0):
        if host is None:
            return real(host, port, family, type, proto, flags)
        name = host.decode("ascii", "replace") if isinstance(host, bytes) else str(host)
        try:
            return real(name, port, family, type, proto, flags | socket.AI_NUMERICHOST)
        except socket.gaierror:
            if flags & socket.AI_NUMERICHOST:
                raise
        name = name.lower().rstrip(".")
        if name == "invalid" or name.endswith(".invalid"):
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        local = name == "localhost" or name.endswith(".localhost")
        return real("127.0.0.1" if local else TEST_PUBLIC_ADDRESS, port, family, type, proto,
                    flags | socket.AI_NUMERICHOST)

    monkeypatch.setattr(socket, "getaddrinfo", local_getaddrinfo)
