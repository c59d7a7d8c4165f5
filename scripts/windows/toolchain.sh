# Sourced by scripts/windows.sh: builds SQLite and Qt for 64-bit Windows from Debian's own source packages,
# once, into a cache outside the checkout. The cache's folder is named after a hash of the recipe (the
# options and the two build functions below, the toolchain file) and of the package versions, so that
# changing the recipe builds anew and nothing else does.

windows_cache="${TOVANIK_WINDOWS_CACHE:-/var/cache/tovanik-windows}"
windows_here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
windows_toolchain="$windows_here/mingw-w64.cmake"

# The same compile-time options as Debian's own libsqlite3, so that both builds behave alike.
SQLITE_DEFINES=(-DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3
    -DSQLITE_ENABLE_FTS3_PARENTHESIS -DSQLITE_ENABLE_RTREE=1 -DSQLITE_SOUNDEX=1 -DSQLITE_ENABLE_UNLOCK_NOTIFY
    -DSQLITE_OMIT_LOOKASIDE=1 -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1
    -DSQLITE_ENABLE_JSON1 -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1
    -DSQLITE_MAX_SCHEMA_RETRY=25 -DSQLITE_ENABLE_STMTVTAB -DSQLITE_MAX_VARIABLE_NUMBER=250000)

# Only what the program and its tests use. OpenGL stays on (dynamic, the Windows default), and so does
# Direct2D: the Windows platform plugin does not build without either (QtGui compiles the DirectWrite font
# database that it uses only along with Direct2D). Debian's source leaves out the Wintab header, hence no
# tablet events; TLS goes through Windows' own Schannel, for the public address lookups over HTTPS.
QT_FEATURES=(-DFEATURE_sql=ON -DFEATURE_sql_sqlite=ON -DFEATURE_system_sqlite=ON
    -DFEATURE_sql_odbc=OFF -DFEATURE_sql_psql=OFF -DFEATURE_sql_mysql=OFF -DFEATURE_sql_ibase=OFF
    -DFEATURE_sql_oci=OFF -DFEATURE_sql_db2=OFF
    -DFEATURE_testlib=ON -DFEATURE_widgets=ON -DFEATURE_network=ON -DFEATURE_gui=ON
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_opengl_dynamic=ON -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF
    -DFEATURE_openssl=OFF -DFEATURE_schannel=ON -DFEATURE_zstd=OFF -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
    -DFEATURE_icu=OFF -DFEATURE_glib=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF
    -DFEATURE_system_png=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF)

# Prints the folder of the cache that this recipe builds into.
windows_cache_folder() {
    local versions
    versions="$(dpkg-query -W -f='${Version}\n' qt6-base-dev libsqlite3-dev g++-mingw-w64-x86-64-posix)"
    local key
    key="$( (echo "${SQLITE_DEFINES[*]}" "${QT_FEATURES[*]}"; declare -f windows_build_sqlite windows_build_qt
        cat "$windows_toolchain"; echo "$versions") | sha256sum | cut -c1-16)"
    echo "$windows_cache/qt-sqlite-$key"
}

# Unpacks a Debian source package into $windows_cache/src once; prints its folder.
windows_source() {
    local package="$1"
    local sources="$windows_cache/src"
    mkdir -p "$sources"
    local folder
    folder="$(find "$sources" -maxdepth 1 -type d -name "$package-[0-9]*" | sort | tail -n 1)"
    if [ -z "$folder" ]; then
        (cd "$sources" && apt-get source -qq "$package" >/dev/null)
        folder="$(find "$sources" -maxdepth 1 -type d -name "$package-[0-9]*" | sort | tail -n 1)"
    fi
    echo "$folder"
}

# One SQLite DLL, which Qt's driver and the program's own reading share.
windows_build_sqlite() {
    local prefix="$1"
    local source
    source="$(windows_source sqlite3)"
    local work="$windows_cache/work/sqlite"
    rm -rf "$work"
    mkdir -p "$work" "$prefix/bin" "$prefix/lib" "$prefix/include"
    (cd "$work" && "$source/configure" --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null)
    x86_64-w64-mingw32-gcc-posix -O2 -fno-strict-aliasing "${SQLITE_DEFINES[@]}" -shared -s "$work/sqlite3.c" \
        -o "$prefix/bin/libsqlite3-0.dll" -Wl,--out-implib,"$prefix/lib/libsqlite3.dll.a"
    cp "$work/sqlite3.h" "$work/sqlite3ext.h" "$prefix/include/"
}

windows_build_qt() {
    local prefix="$1"
    local source
    source="$(windows_source qt6-base)"
    local work="$windows_cache/work/qtbase"
    rm -rf "$work"
    mkdir -p "$work"
    TOVANIK_WINDOWS_PREFIX="$prefix" cmake -S "$source" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$windows_toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DQT_BUILD_TOOLS_WHEN_CROSSCOMPILING=OFF \
        -DSQLite3_INCLUDE_DIR="$prefix/include" -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.dll.a" \
        "${QT_FEATURES[@]}" >"$work.configure.log" 2>&1 || { tail -n 40 "$work.configure.log"; return 1; }
    TOVANIK_WINDOWS_PREFIX="$prefix" cmake --build "$work" -j"$(nproc)" || return 1
    cmake --install "$work" >/dev/null || return 1
    rm -rf "$work"
}

# Makes sure that the cache holds this recipe's SQLite and Qt; prints the prefix they are installed in.
windows_toolchain_ready() {
    local folder
    folder="$(windows_cache_folder)"
    if [ ! -f "$folder/complete" ]; then
        echo "Building SQLite and Qt for Windows into $folder (once; about half an hour on 2 cores)" >&2
        rm -rf "$folder"
        windows_build_sqlite "$folder/prefix" >&2 || return 1
        windows_build_qt "$folder/prefix" >&2 || return 1
        touch "$folder/complete"
    fi
    echo "$folder/prefix"
}
