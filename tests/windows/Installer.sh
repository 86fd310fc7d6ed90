#!/usr/bin/env bash
# ZELT2-Setup.exe as a Windows user runs it, under Wine, in a prefix of its
# own inside the build tree (made once, thrown away afterwards):
# - on Windows 7 it refuses, with a failing exit status, and installs nothing;
# - on Windows 10, silently into a folder of the user's choosing (with a space
#   in its name), it puts the programs, the language packs, the Start-menu
#   shortcuts, the Apps & features entry and the service's event-log source in place; every DLL the installed
#   programs import is installed beside them or is the system's; the installed
#   program runs and reports the installer's version;
# - a silent uninstall leaves no installed file, folder, shortcut or entry
#   behind and keeps the user's settings and the service's state folder; with
#   /REMOVESETTINGS it removes both.
#
#   Installer.sh BUILD_DIR      the Windows build, its installer made
#                               (cmake --build --preset windows makes both)
#   exit 77: skipped (no Wine)
set -euo pipefail
export LC_ALL=C.UTF-8
build=$(cd "$1" && pwd -P)
setup=$build/packages/ZELT2-Setup.exe
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in wine wineboot wineserver winepath; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -f "$setup" ] || fail "$setup is missing: cmake --build --preset windows --target installer"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
objdump=$(command -v x86_64-w64-mingw32-objdump || true)

WINEPREFIX=$(mktemp -d "$build/installer-test.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
drive=$WINEPREFIX/drive_c
target='C:\Test Apps\ZELT2'
installed=$drive/Test\ Apps/ZELT2
menu=$drive/ProgramData/Microsoft/Windows/Start\ Menu/Programs/ZELT2
entry='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZELT2'
settings='HKCU\Software\ZELT2\ZELT2Service'
events='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZELT2Service'
if [ -f "$build/bin/ZELT2Service.exe" ]; then program=ZELT2Service; else program=ZELT2Viewer; fi

echo "== a Wine prefix of the test's own"
wineboot -i >/dev/null 2>&1 || fail "wineboot could not make a prefix"

# setup_silently: a silent install into $target, as typed at a command prompt
# (/D= takes the rest of the line, spaces and all, unquoted).
setup_silently() { wine cmd /c "$(winepath -w "$setup") /S /D=$target" >/dev/null 2>&1; }
# uninstall [ARGS]: the uninstaller starts a copy of itself and returns; the
# copy's work is done when the prefix has no process left.
uninstall() {
    wine "$target\\Uninstall.exe" /S "$@" >/dev/null 2>&1 || fail "the uninstaller did not start"
    wineserver -w
}
has_key() { wine reg query "$1" >/dev/null 2>&1; }

echo "== Windows 7: refused"
wine winecfg -v win7 >/dev/null 2>&1
if setup_silently; then fail "the installer succeeded on Windows 7"; fi
[ ! -e "$installed" ] || fail "the installer put files in place on Windows 7"
has_key "$entry" && fail "the installer registered itself on Windows 7"

echo "== Windows 10: silent install into \"$target\""
wine winecfg -v win10 >/dev/null 2>&1
setup_silently || fail "the silent install failed ($?)"
for file in ZELT2Viewer.exe ZELT2FileDevice.exe ZELT2CamCtl.exe pppp_tool.exe Nodrik.dll pppp.dll \
        Uninstall.exe res/Lang_English.ini res/Lang_Deutsch.ini res/Lang_Русский.ini; do
    [ -f "$installed/$file" ] || fail "$file is not installed"
done
[ "$program" = ZELT2Service ] && { [ -f "$installed/ZELT2Service.exe" ] || fail "ZELT2Service.exe is not installed"; }
# shortcut NAME TEXT: the Start-menu shortcut NAME exists and holds TEXT (its
# target or its command line, kept as UTF-16 in the link).
shortcut() {
    [ -f "$menu/$1.lnk" ] || fail "no Start-menu shortcut \"$1\""
    grep -qF "$2" <<<"$(strings -el "$menu/$1.lnk")" || fail "the shortcut \"$1\" does not lead to $2"
}
shortcut "ZELT2 Command Prompt" "PATH=$target;"
[ "$program" = ZELT2Service ] && shortcut "ZELT2 Service" "$target\\ZELT2Service.exe"
grep -q "REG_SZ *$version" <<<"$(wine reg query "$entry" /v DisplayVersion 2>/dev/null)" \
    || fail "Apps & features does not show version $version"
grep -qF "$target" <<<"$(wine reg query "$entry" /v InstallLocation 2>/dev/null)" \
    || fail "Apps & features does not show the chosen folder"
if [ "$program" = ZELT2Service ]; then
    grep -qF "$target\ZELT2Service.exe" <<<"$(wine reg query "$events" /v EventMessageFile 2>/dev/null)" \
        || fail "the event log does not take the service's texts from the installed program"
    grep -q "REG_DWORD *0x7" <<<"$(wine reg query "$events" /v TypesSupported 2>/dev/null)" \
        || fail "the service's event-log source does not take errors, warnings and information"
fi
if [ -n "$objdump" ]; then
    # The system's DLLs are the ones Wine has in system32; the rest must be ours.
    for binary in "$installed"/*.exe "$installed"/*.dll; do
        [ "$(basename "$binary")" = Uninstall.exe ] && continue
        for dll in $("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
            [ -e "$installed/$dll" ] || [ -n "$(find "$drive/windows/system32" -maxdepth 1 -iname "$dll" -print -quit)" ] \
                || fail "$(basename "$binary") needs $dll, which is neither installed nor the system's"
        done
    done
fi
reported=$(wine "$target\\$program.exe" --version 2>&1 | tr -d '\r') || fail "the installed $program.exe --version failed: $reported"
[ "$reported" = "$program $version" ] || fail "the installed $program.exe says \"$reported\", the installer \"$version\""
echo "   $reported"
files=$(cd "$installed" && find . -type f)

echo "== silent uninstall: programs gone, settings kept"
wine reg add "$settings" /v DID /t REG_SZ /d CAM-1 /f >/dev/null 2>&1 || fail "cannot write a setting"
# The service's state folder, as the service leaves it.
state=$(realpath -m "$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')")/ZELT2")
mkdir -p "$state" && echo serving >"$state/ZELT2Service.status"
uninstall
[ ! -e "$installed" ] || fail "left behind: $(cd "$installed" && find . | tr '\n' ' ')"
[ ! -e "$menu" ] || fail "Start-menu shortcuts left behind: $(find "$menu" | tr '\n' ' ')"
left=$(find "$drive" \( -iname '*zelt2*' -o -iname Nodrik.dll -o -iname pppp.dll \) ! -path "$state" ! -path "$state/*")
[ -z "$left" ] || fail "left behind: $left"
has_key "$entry" && fail "the Apps & features entry is left behind"
has_key "$events" && fail "the service's event-log source is left behind"
grep -q CAM-1 <<<"$(wine reg query "$settings" /v DID 2>/dev/null)" || fail "the user's settings were removed unasked"
[ -f "$state/ZELT2Service.status" ] || fail "the service's state folder was removed unasked"
echo "   removed: $(echo "$files" | wc -l) files; settings kept"

echo "== silent uninstall with /REMOVESETTINGS"
setup_silently || fail "the second silent install failed"
uninstall /REMOVESETTINGS
[ ! -e "$installed" ] || fail "left behind after the second uninstall"
has_key 'HKCU\Software\ZELT2' && fail "the user's settings are left behind after /REMOVESETTINGS"
[ ! -e "$state" ] || fail "the service's state folder is left behind after /REMOVESETTINGS"
echo "== installer: all checks passed"
