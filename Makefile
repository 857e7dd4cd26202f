# The two commands a new user needs:
#   make run    install what is missing, build, start quorvel2
#               (DEVICE=/dev/usb/lp0 PORT=9100 to choose; without DEVICE the
#               jobs go into a file, named at start-up)
#   make test   install what is missing, build, run every test
# and, to install it as a service on Debian:
#   make deb    build quorvel2_<version>_<arch>.deb here
PORT ?= 8090
DEVICE ?=
BUILD_DIR ?= build
# make run builds the program alone, so it needs none of the test tools.
RUN_BUILD_DIR ?= build-run

.PHONY: all deps build run test bench windows deb install clean

all: build

deps:
	@scripts/install-deps.sh base

build: deps
	@cmake -S . -B $(RUN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ2_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(RUN_BUILD_DIR) --target quorvel2

run: build
	@scripts/run.sh "$(RUN_BUILD_DIR)/src/quorvel2" "$(PORT)" "$(DEVICE)"

test:
	@scripts/install-deps.sh base test deb
	@scripts/test.sh

bench:
	@scripts/install-deps.sh base bench
	@scripts/bench.sh

# Thirty minutes of load, printer faults and hostile input (tests/stress),
# then a minute and a half of a till posting among peers that send garbage.
.PHONY: soak
soak:
	@scripts/install-deps.sh base test
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ2_BUILD_TESTS=ON >/dev/null
	@cmake --build $(BUILD_DIR) --target quorvel2-stress quorvel2-testhooks blackbox_threaded_tests
	@$(BUILD_DIR)/tests/stress/quorvel2-stress --server $(BUILD_DIR)/tests/support/quorvel2-testhooks --duration 1800
	@Q2_FUZZ_SECONDS=90 $(BUILD_DIR)/tests/blackbox/blackbox_threaded_tests --gtest_filter='*HealthyTill*'

deb:
	@scripts/install-deps.sh base deb
	@scripts/deb.sh

# The package's files without a package: make install PREFIX=/usr DESTDIR=/tmp/root
PREFIX ?= /usr/local
install: deps
	@cmake -S . -B $(RUN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ2_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(RUN_BUILD_DIR) --target quorvel2
	@DESTDIR=$(DESTDIR) cmake --install $(RUN_BUILD_DIR)

windows:
	@scripts/install-deps.sh base windows
	@scripts/windows-build.sh

clean:
	rm -rf build build-*
