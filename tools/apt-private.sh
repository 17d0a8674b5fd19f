# tools/apt-private.sh: download Debian packages through a private apt state, leaving the
# system's sources, lists and caches alone. Sourced by the scripts that need packages.
#
# Needs: $cache (where lists and downloads are kept), log().

# The archive address comes from the machine's own apt configuration.
archive_uri() {
    local uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list)
    fi
    [ -n "$uri" ] || { log "no Debian archive address in /etc/apt"; exit 1; }
    echo "$uri"
}

system_suite() {
    . /etc/os-release
    echo "${VERSION_CODENAME:-bookworm}"
}

keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# apt_private SUITE TOOL ARGS...: apt-get or apt-cache against a private sources file and state.
apt_private() {
    local suite=$1 tool=$2; shift 2
    local state=$cache/apt-$suite
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb [signed-by=$keyring] $(archive_uri) $suite main" > "$state/sources.list"
    "$tool" -q \
        -o Dir::Etc::sourcelist="$state/sources.list" \
        -o Dir::Etc::sourceparts=/nonexistent \
        -o Dir::State::Lists="$state/lists" \
        -o Dir::Cache="$state/cache" \
        -o Debug::NoLocking=1 \
        -o APT::Sandbox::User=root \
        "$@"
}

# fetch SUITE DEST PACKAGES...: download the current .deb of each package into DEST,
# reusing a cached file of the same version.
fetch() {
    local suite=$1 dest=$2; shift 2
    mkdir -p "$dest" "$cache"
    local stamp=$cache/apt-$suite/updated
    if [ ! -f "$stamp" ] || [ -n "$(find "$stamp" -mmin +1440)" ]; then
        log "updating the package lists of $suite"
        apt_private "$suite" apt-get update >>"$cache/apt.log" 2>&1 || { log "apt-get update failed; see $cache/apt.log"; exit 1; }
        touch "$stamp"
    fi
    local missing=()
    for pkg in "$@"; do
        local version file
        version=$({ apt_private "$suite" apt-cache show --no-all-versions "$pkg" 2>/dev/null || true; } | awk '/^Version:/ { print $2; exit }')
        [ -n "$version" ] || { log "package $pkg not found in $suite"; exit 1; }
        file=$(ls "$dest"/"${pkg}"_"${version//:/%3a}"_*.deb 2>/dev/null | head -n 1 || true)
        [ -n "$file" ] || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "downloading ${missing[*]}"
        (cd "$dest" && apt_private "$suite" apt-get download "${missing[@]}" >>"$cache/apt.log" 2>&1) ||
            { log "apt-get download failed; see $cache/apt.log"; exit 1; }
    fi
}
