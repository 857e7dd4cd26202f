# stage: Windows build and tests under Wine
# Cross-builds quorvel2.exe and its setup program (as `make windows` does)
# and the Windows tests, then runs them under Wine: the platform layer,
# device output and the shared HTTP-core and file-serving unit tests as
# Windows programs, and black-box tests of quorvel2.exe driven from Linux
# over loopback with a named pipe as the printer, USB printers from a
# stand-in setupapi.dll loaded beside a copy of the program, and the setup
# program installing, upgrading and removing the service (Wine's sc.exe and
# services.exe), and a 20 s pass of the stress run (tests/stress) against
# the test build of the program. Everything runs in one Wine prefix inside
# build-win, made once per run.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$(date +%s)

scripts/install-deps.sh windows

scripts/windows-build.sh build-win

export Q2_WINEPREFIX="$PWD/build-win/wineprefix"
export WINEPREFIX="$Q2_WINEPREFIX" WINEDEBUG=-all
# One persistent wineserver serves the whole stage and is ended with it.
# Wine's services (started with the first program) inherit that program's
# output, so the first program writes to /dev/null: otherwise every later
# caller that reads a test program's output until it closes would wait for
# the services. The first start also makes the prefix (bounded in wine-run.sh).
mkdir -p "$WINEPREFIX"
timeout 60 wineserver -w || true # a server left from an earlier command ends once idle
wineserver -p
timeout 600 scripts/wine-run.sh build-win/src/quorvel2.exe --version >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# Under load Wine now and then fails to start a program at all (no output,
# a failed exit, about once in a thousand starts): the test harness starts
# such a program once more (wine-run.sh --retry-silent-start for the test
# programs, the black-box client for what it starts). Every other failure
# fails the stage.
prefix="$(scripts/windows-deps-dir.sh)/prefix"
cmake -S . -B build-win-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQ2_WIN_PREFIX="$prefix" \
  -DQ2_WINE_RUNNER="$PWD/scripts/wine-run.sh;--retry-silent-start" -DCMAKE_CXX_FLAGS=-DGTEST_IS_THREADSAFE=0 \
  "-DQ2_TEST_ONLY_GROUPS=support;windows" >/dev/null
# quorvel2.exe itself comes from build-win above; only the test programs here.
cmake --build build-win-tests -j 2 --target quorvel2-testhooks pipe_printer windows_platform_tests \
  windows_core_tests windows_files_tests
ctest --test-dir build-win-tests --output-on-failure -j 2 --timeout 120

# The black-box client is a Linux program; only its group is configured.
cmake -S . -B build-win-client -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQ2_WINDOWS_BUILD_DIR="$PWD/build-win-tests" -DQ2_QUORVEL2_EXE="$PWD/build-win/src/quorvel2.exe" \
  -DQ2_TEST_ONLY_GROUPS=windows >/dev/null
cmake --build build-win-client -j 2 --target windows_blackbox_tests windows_stress
ctest --test-dir build-win-client --output-on-failure -j 2 --timeout 180 -E WindowsService
# The service test installs and runs a service in the prefix's service
# manager, which after the other tests' many programs has been seen not to
# start it: it runs alone, on a Wine server (and so a service manager)
# started afresh for it.
wineserver -k >/dev/null 2>&1 || true
timeout 60 wineserver -w || true
wineserver -p
timeout 600 scripts/wine-run.sh build-win/src/quorvel2.exe --version >/dev/null 2>&1 </dev/null
ctest --test-dir build-win-client --output-on-failure --timeout 300 -R WindowsService

echo "Windows stage took $(( $(date +%s) - started )) s"
