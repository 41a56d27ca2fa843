# Shared by the set-up scripts (sourced, not run).
#
# venv_install VENV BASE_PYTHON [pip options for the GUI build...]
#   creates VENV when it is missing or broken, installs into it everything
#   pyproject.toml lists (dependencies, the test extra, our build tools), each
#   dependency built, where it has no wheel, with the tools it declares itself
#   (build isolation), then builds and installs our own extension without
#   isolation so that build/ keeps an incremental build between runs.

venv_install() {
    local venv=$1 base=$2
    shift 2
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import tkinter" 2>/dev/null; then
        rm -rf "$venv"
        "$base" -m venv "$venv"
    fi
    local requirements
    requirements=$(mktemp)
    "$venv/bin/python" scripts/requirements.py test >"$requirements"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q -r "$requirements"
    rm -f "$requirements"
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "$@" .
    local broken
    broken=$("$venv/bin/python" -m pip check) || { echo "$broken" >&2; return 1; }
}

# Installs the named Debian packages, as root or through sudo.
apt_install() {
    [ $# -gt 0 ] || return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing system packages: $*"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}
