#!/usr/bin/env bash
# The packages that cpack makes, each unpacked alone into an empty folder and run from there.
#
#   packages_test.sh deb CPACK BUILD VERSION VIEWER [PYTHON]
#       cpack -G DEB in the build folder BUILD makes a package that names the libraries it
#       needs; unpacked with dpkg-deb -x, its pointcloud and pointcloud-view say VERSION, its
#       viewer draws the lattice into the very picture that the build's own VIEWER draws, its
#       manual pages are there, and its Python module, where PYTHON is given, is the one that
#       PYTHON imports from the unpacked folder.
#   packages_test.sh zip CPACK WINDOWS_BUILD VERSION OBJDUMP
#       cpack -G ZIP in the Windows build makes a zip whose programs import no DLL but the
#       system's own; unzipped, pointcloud.exe and pointcloud-view.exe say VERSION under Wine.
#       Skipped (status 77) while the Windows build is not there.
set -euo pipefail

mode=$1
cpack=$2
build=$3
version=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Makes the package of the generator named first from the build folder, in $work/package.
make_package() {
    "$cpack" -G "$1" --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
        fail "cpack -G $1 ended with status $?: $(cat "$work/cpack.log")"
}

# Whether `command...` prints exactly "NAME VERSION" (the Windows build ends it with CR LF).
says_version() {
    local name=$1
    shift
    local said
    said=$("$@" --version | tr -d '\r') || fail "$* --version ended with status $?"
    [ "$said" = "$name $version" ] || fail "$* --version says '$said'"
}

deb_package() {
    local viewer=$5 python=${6:-}
    make_package DEB
    local package
    package=$(echo "$work"/package/pointcloud_"$version"_*.deb)
    [ -f "$package" ] || fail "no package: $(ls "$work/package")"
    dpkg-deb -f "$package" Depends | grep -q 'libsdl2' ||
        fail "the package does not name SDL2: $(dpkg-deb -f "$package" Depends)"
    local root=$work/root
    dpkg-deb -x "$package" "$root"
    says_version pointcloud "$root/usr/bin/pointcloud"
    says_version pointcloud-view "$root/usr/bin/pointcloud-view"
    for program in pointcloud pointcloud-view; do
        grep -q "^\.TH " "$root/usr/share/man/man1/$program.1" || fail "no manual page of $program"
    done
    "$root/usr/bin/pointcloud-view" --scene cube --output "$work/unpacked.png" >/dev/null
    "$viewer" --scene cube --output "$work/built.png" >/dev/null
    cmp "$work/unpacked.png" "$work/built.png" || fail "the unpacked viewer draws another picture"
    if [ -n "$python" ]; then
        local imported
        imported=$(PYTHONPATH=$root/usr/lib/python3/dist-packages "$python" -c \
            'import pointcloud; print(pointcloud.__file__, pointcloud.__version__)')
        [[ $imported == "$root/usr/lib/python3/dist-packages/pointcloud."*" $version" ]] ||
            fail "imported $imported"
    fi
    echo "$(basename "$package") runs unpacked: $(dpkg-deb -f "$package" Depends)"
}

zip_package() {
    local objdump=$5
    [ -f "$build/CPackConfig.cmake" ] || { echo "SKIP: $build has not been built"; exit 77; }
    make_package ZIP
    local package
    package=$(echo "$work"/package/pointcloud-"$version"-*.zip)
    [ -f "$package" ] || fail "no package: $(ls "$work/package")"
    mkdir "$work/unzipped"
    (cd "$work/unzipped" && "$(dirname "$cpack")/cmake" -E tar xf "$package")
    local folder
    folder=$(echo "$work"/unzipped/*/bin)
    export WINEDEBUG=-all
    for program in pointcloud pointcloud-view; do
        local dlls
        dlls=$("$objdump" -p "$folder/$program.exe" | sed -n 's/^\s*DLL Name: //p')
        while read -r dll; do
            case ${dll,,} in
                kernel32.dll | user32.dll | gdi32.dll | shell32.dll | msvcrt.dll | advapi32.dll) ;;
                *) fail "$program.exe imports $dll, which Windows does not have" ;;
            esac
        done <<<"$dlls"
        says_version "$program" wine "$folder/$program.exe"
    done
    echo "$(basename "$package") runs unzipped under Wine"
}

case $mode in
    deb) deb_package "$@" ;;
    zip) zip_package "$@" ;;
    *) echo "usage: see the head of $0" >&2; exit 2 ;;
esac
