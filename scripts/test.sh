#!/usr/bin/env bash
# Sets up everything (see setup.sh), Debian's chromium and openssl for the
# browser tests (the rendering fallback and the HTML report), and runs the
# whole test suite. QUILLMERE_NO_BROWSER=1 skips the browser install (those
# tests then skip, outside CI).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ "${QUILLMERE_NO_BROWSER:-0}" != 1 ] && ! { command -v chromium >/dev/null && command -v openssl >/dev/null; }; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends chromium openssl >/dev/null
fi
exec .venv/bin/python -m pytest "$@"
