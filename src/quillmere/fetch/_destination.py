"""Which destinations a page fetch may go to.

Search results are written by strangers, so a link may point at the machine
that runs the engine or at its network: the cloud metadata service, a database
on 10.0.0.5, an admin page on 127.0.0.1.  `check_destination` decides, before
any request, whether a link's host is, or resolves to, only public addresses,
and hands back the address it checked so that the request can be sent there
(a second lookup by the transport could answer differently).

Hosts are read the way the transport reads them: every spelling of an IPv4
number that curl accepts (decimal, octal, hex, one to four parts, a trailing
dot), bracketed IPv6 with IPv4 addresses mapped or embedded in it, user
information before the host, and names such as ``localhost`` that resolve
to loopback without asking DNS.  A host that cannot be read, or whose last
label is a number but not a valid IPv4 address, is refused without a lookup.
Names are resolved with the running event loop's resolver, so the loop is
never blocked by a lookup.
"""

from __future__ import annotations

import asyncio
import ipaddress
import re
import socket
from typing import NamedTuple
from urllib.parse import urlsplit, urlunsplit

from ..models import FetchOutcome
from ._outcomes import PageFailure

Address = ipaddress.IPv4Address | ipaddress.IPv6Address

# Reasons of the split that refuse an internal destination rather than an unreadable link.
_REFUSALS = frozenset({"loopback name", "a number that is no IPv4 address",
                       "control character or white space in the link"})

DEFAULT_PORTS = {"http": 80, "https": 443}

# Characters of a host name after IDNA encoding.  Anything else (percent
# escapes, back-slashes, white space, control characters) is where URL parsers
# disagree with one another, so such a host is refused rather than guessed at.
_NAME = re.compile(r"[a-z0-9_-]+(?:\.[a-z0-9_-]+)*\Z")
# Characters that readers of a link's authority differ on (white space, control
# characters, back-slashes).  urlsplit silently drops tabs and line breaks
# anywhere in a link; curl does not.
_BAD_AUTHORITY = re.compile(r"[\x00-\x20\x7f\\]")
_STRIPPED = re.compile(r"[\t\r\n]")
_RAW_AUTHORITY = re.compile(r"[^:/?#]*:?(?://)?([^/?#]*)")
_NUMERIC_LABEL = re.compile(r"(?:0[xX][0-9A-Fa-f]*|[0-9]+)\Z")

_NAT64 = (ipaddress.IPv6Network("64:ff9b::/96"), ipaddress.IPv6Network("64:ff9b:1::/48"))
_IPV4_COMPATIBLE = ipaddress.IPv6Network("::/96")


class Destination(NamedTuple):
    """A link whose host passed the check, with the address that was checked."""

    scheme: str       # "http" or "https"
    host: str         # the host as the request names it (ASCII, lower case, no brackets)
    port: int
    address: Address  # the address the request should connect to

    @property
    def host_header(self) -> str:
        """The Host header value for a request sent to `address`."""
        name = f"[{self.host}]" if ":" in self.host else self.host
        return name if self.port == DEFAULT_PORTS[self.scheme] else f"{name}:{self.port}"

    def pinned(self, url: str) -> str:
        """`url` with its host replaced by the checked address (fragment dropped)."""
        parts = urlsplit(url)
        userinfo = parts.netloc.rpartition("@")[0]
        literal = f"[{self.address}]" if self.address.version == 6 else str(self.address)
        netloc = (userinfo + "@" if userinfo else "") + literal
        if self.port != DEFAULT_PORTS[self.scheme]:
            netloc += f":{self.port}"
        return urlunsplit((parts.scheme, netloc, parts.path or "/", parts.query, ""))


def _internal(address: Address) -> bool:
    return (address.is_loopback or address.is_private or address.is_link_local
            or address.is_unspecified or address.is_multicast or address.is_reserved
            or (address.version == 6 and address.is_site_local)
            or not address.is_global)


def _embedded_ipv4(address: ipaddress.IPv6Address) -> list[ipaddress.IPv4Address]:
    """IPv4 addresses an IPv6 address carries (mapped, 6to4, Teredo, NAT64, compatible)."""
    found = []
    if address.ipv4_mapped is not None:
        found.append(address.ipv4_mapped)
    if address.sixtofour is not None:
        found.append(address.sixtofour)
    if address.teredo is not None:
        found.extend(address.teredo)
    if any(address in net for net in _NAT64) or address in _IPV4_COMPATIBLE:
        found.append(ipaddress.IPv4Address(int(address) & 0xFFFFFFFF))
    return found


def refused_address(address: Address) -> bool:
    """True for an address a fetch must not go to: loopback, private (10/8,
    172.16/12, 192.168/16, 100.64/10, fc00::/7), link-local, unspecified,
    multicast, reserved, documentation-only or otherwise not globally
    reachable; for IPv6 also when an IPv4 address it carries is one of those."""
    if _internal(address):
        return True
    if address.version == 6:
        return any(_internal(v4) for v4 in _embedded_ipv4(address))
    return False


def parse_ipv4(host: str) -> ipaddress.IPv4Address | None:
    """The IPv4 address a host spells, read as curl and browsers read it, or
    None when the host is a name (its last label is not a number).

    Each of one to four dot-separated parts is decimal, octal (leading 0) or
    hex (0x); the last part fills the remaining bytes, so "127.1",
    "2130706433", "0x7f000001" and "0177.0.0.01" are all 127.0.0.1.  One
    trailing dot is allowed.  A host that ends in a number but is not a valid
    address raises ValueError.
    """
    labels = host.split(".")
    if len(labels) > 1 and labels[-1] == "":
        labels.pop()
    if not labels or not _NUMERIC_LABEL.match(labels[-1]):
        return None
    if len(labels) > 4:
        raise ValueError(f"too many parts in an IPv4 address: {host!r}")
    numbers = []
    for label in labels:
        if not _NUMERIC_LABEL.match(label):
            raise ValueError(f"not a number in an IPv4 address: {label!r}")
        if label[:2] in ("0x", "0X"):
            numbers.append(int(label[2:] or "0", 16))
        elif len(label) > 1 and label[0] == "0":
            if any(c in "89" for c in label):
                raise ValueError(f"not an octal number: {label!r}")
            numbers.append(int(label, 8))
        else:
            numbers.append(int(label))
    *head, last = numbers
    if any(n > 255 for n in head) or last >= 256 ** (5 - len(numbers)):
        raise ValueError(f"IPv4 address out of range: {host!r}")
    value = last
    for i, n in enumerate(head):
        value += n << (8 * (3 - i))
    return ipaddress.IPv4Address(value)


def _ip_of(text: str) -> Address:
    return ipaddress.ip_address(text.partition("%")[0])


class _Refused(Exception):
    pass


def split_destination(url: str) -> tuple[str, str, int, Address | None]:
    """(scheme, host, port, address or None for a name to resolve) of a link.

    Raises _Refused for a link that must not be requested whatever its name
    resolves to.
    """
    raw = _RAW_AUTHORITY.match(url)
    if _STRIPPED.search(url) or (raw is not None and _BAD_AUTHORITY.search(raw[1])):
        raise _Refused("control character or white space in the link")
    try:
        parts = urlsplit(url)
        scheme = parts.scheme
        netloc = parts.netloc
        port = parts.port
        hostname = parts.hostname
    except ValueError:
        raise _Refused("unreadable link") from None
    if scheme not in DEFAULT_PORTS:
        raise _Refused("not an HTTP link")
    if not hostname or netloc.count("@") > 1:  # readers differ on which "@" ends the user part
        raise _Refused("unreadable host")
    if port is None:
        port = DEFAULT_PORTS[scheme]
    if port == 0:
        raise _Refused("port 0")
    if "[" in netloc.rpartition("@")[2]:
        if "%" in hostname:  # a zone index only makes sense for link-local addresses
            raise _Refused("zone index")
        try:
            address = ipaddress.IPv6Address(hostname)
        except ValueError:
            raise _Refused("bad IPv6 literal") from None
        return scheme, hostname, port, address
    if not hostname.isascii():
        try:
            hostname = hostname.encode("idna").decode("ascii").lower()
        except UnicodeError:
            raise _Refused("host name cannot be encoded") from None
    name = hostname[:-1] if hostname.endswith(".") else hostname
    if not _NAME.match(name):
        raise _Refused("unreadable host")
    try:
        v4 = parse_ipv4(name)
    except ValueError:
        raise _Refused("a number that is no IPv4 address") from None
    if v4 is not None:
        return scheme, str(v4), port, v4
    if name == "localhost" or name.endswith(".localhost"):
        raise _Refused("loopback name")
    return scheme, name, port, None


async def resolve(host: str, port: int) -> list[Address]:
    """The addresses `host` resolves to, through the running loop's resolver."""
    loop = asyncio.get_running_loop()
    infos = await loop.getaddrinfo(host, port, type=socket.SOCK_STREAM, proto=socket.IPPROTO_TCP)
    return [_ip_of(str(info[4][0])) for info in infos]


async def inspect_destination(url: str) -> Destination:
    """The checked destination of `url`; raises PageFailure with the reason
    when it must not be requested: its host is, or resolves to, an internal
    address (any one of its addresses is enough: refused), cannot be read
    (no link), or does not resolve (unreachable)."""
    try:
        scheme, host, port, address = split_destination(url)
    except _Refused as err:
        reason = str(err)
        kind = FetchOutcome.REFUSED if reason in _REFUSALS else FetchOutcome.NO_LINK
        raise PageFailure(kind, reason) from None
    if address is not None:
        if refused_address(address):
            raise PageFailure(FetchOutcome.REFUSED, f"internal address {address}")
        return Destination(scheme, host, port, address)
    try:
        addresses = await resolve(host, port)
    except (OSError, UnicodeError, ValueError):
        raise PageFailure(FetchOutcome.UNREACHABLE, "name not found") from None
    if not addresses:
        raise PageFailure(FetchOutcome.UNREACHABLE, "name not found")
    for a in addresses:
        if refused_address(a):
            raise PageFailure(FetchOutcome.REFUSED, f"{host} resolves to internal address {a}")
    return Destination(scheme, host, port, addresses[0])


async def check_destination(url: str) -> Destination | None:
    """The checked destination of `url`, or None when it must not be requested
    (see `inspect_destination`)."""
    try:
        return await inspect_destination(url)
    except PageFailure:
        return None
