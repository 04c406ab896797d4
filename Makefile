# The front door: `make test` installs what the build needs, builds and runs the tests.
# CMake does the work; this file only names the usual sequences. `make help` lists the targets.

SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -ec
.DEFAULT_GOAL := build

# Debian 12 packages, by what needs them, so that each target checks only its own: building
# needs the libraries and the toolchain; the tests also start services and call tools; the
# sanitizer presets need clang; the format check needs clang-format. `make deps` installs them
# all.
BUILD_PACKAGES := \
  libsqlite3-dev \
  libcurl4-openssl-dev \
  nlohmann-json3-dev libsimdjson-dev \
  libssl-dev \
  libsecret-1-dev \
  libglib2.0-dev shared-mime-info \
  libcli11-dev \
  googletest libgtest-dev libcpp-httplib-dev \
  xdg-utils file desktop-file-utils sqlite3 \
  libbenchmark-dev help2man \
  g++ cmake ninja-build pkg-config make
TEST_PACKAGES := \
  gnome-keyring dbus-daemon libglib2.0-bin libsecret-tools \
  notification-daemon xvfb xauth dbus-bin \
  curl openssl time systemd nodejs devscripts
# The browser extension's end-to-end tests: both browsers, and a WebSocket client for Firefox's.
TEST_PACKAGES += chromium firefox-esr python3-websocket
SANITIZER_PACKAGES := clang-14 libclang-rt-14-dev
FORMAT_PACKAGES := clang-format
# Building the Debian packages and checking them (hardening-check is in devscripts).
PACKAGE_PACKAGES := debhelper dpkg-dev devscripts lintian
DEBIAN_PACKAGES := $(BUILD_PACKAGES) $(TEST_PACKAGES) $(SANITIZER_PACKAGES) $(FORMAT_PACKAGES) \
  $(PACKAGE_PACKAGES)

# $(call ensure_packages,<packages>): installs those missing (as root), or says how.
define ensure_packages
	@missing=""; \
	for package in $(1); do \
	  dpkg-query -W -f='$${db:Status-Abbrev}' "$$package" 2>/dev/null | grep -q '^.i' \
	    || missing="$$missing $$package"; \
	done; \
	if [ -z "$$missing" ]; then \
	  echo "deps: all $(words $(1)) Debian packages needed here are installed"; \
	  exit 0; \
	fi; \
	echo "deps: missing Debian packages:$$missing"; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "deps: run as root:"; \
	  echo "  apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$$missing"; \
	  exit 1; \
	fi; \
	apt-get update; \
	DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing
endef

# Configure, build and test preset (see CMakePresets.json): default, asan or tsan.
PRESET ?= default
JOBS ?= 2
# Tests run one at a time unless asked otherwise; a single test case that runs this long is hung.
TEST_JOBS ?= 1
TEST_TIMEOUT ?= 300
# Where `make install` puts the default build; the preset's own choice when empty.
PREFIX ?=
# How long `make fuzz` runs each fuzz target.
FUZZ_SECONDS ?= 300
# How many random kills `make reliability` gives the outbox processor (`make test` runs 20).
KILL_TRIALS ?= 1000

INSTALL_TEST_DIR := build/install-test
# Where `make deb` builds: a copy of the tracked files (dpkg-buildpackage writes its results
# beside the source folder, so that is build/deb, never the repository's parent).
DEB_DIR := build/deb

.PHONY: help deps deps-build deps-test deps-format configure build demo test reliability asan tsan fuzz install install-test deb deb-test format format-check clean

help: ## List the targets
	@echo "Usage: make <target> [PRESET=default|asan|tsan] [JOBS=$(JOBS)] [PREFIX=dir] [FUZZ_SECONDS=n] [KILL_TRIALS=n]"
	@grep -E '^[a-z-]+:.*## ' $(firstword $(MAKEFILE_LIST)) | \
	  awk 'BEGIN { FS = ":.*## " } { printf "  %-13s %s\n", $$1, $$2 }'

deps: ## Install every Debian package the build, tests, sanitizers and format check need
	$(call ensure_packages,$(DEBIAN_PACKAGES))

deps-build:
	$(call ensure_packages,$(BUILD_PACKAGES) $(if $(filter asan tsan fuzz,$(PRESET)),$(SANITIZER_PACKAGES)))

deps-test:
	$(call ensure_packages,$(TEST_PACKAGES))

deps-format:
	$(call ensure_packages,$(FORMAT_PACKAGES))

deps-package:
	$(call ensure_packages,$(BUILD_PACKAGES) $(PACKAGE_PACKAGES))

configure: deps-build ## Configure build/<preset> (PRESET=default unless given)
	cmake --preset $(PRESET)

build: configure ## Configure and build build/<preset> (the default goal)
	cmake --build --preset $(PRESET) --parallel $(JOBS)

# The demo needs only the three programs, so it builds just those (and the packages the build and
# the private Secret Service need); Tools/demo.sh says what it does at each step.
demo: deps-test configure ## Install what is missing, build the programs and run the demo (Tools/demo.sh)
	cmake --build --preset $(PRESET) --parallel $(JOBS) --target kestro kestro-share kestro-devserver
	bash Tools/demo.sh build/$(PRESET)

test: deps-test build ## Install missing packages, configure, build and run the tests of build/<preset>
	ctest --preset $(PRESET) --no-tests=error --parallel $(TEST_JOBS) --timeout $(TEST_TIMEOUT)

# The outbox processor's long random trials, of which `make test` runs a fixed sample: KILL_TRIALS
# SIGKILLs of a flushing process at random moments (Testing/outbox-kill-trials.sh), and every
# case of the fault matrix, four exchanges by five faults (KESTRO_FAULT_MATRIX=full).
reliability: deps-test ## Build build/default and run the processor's full kill trials and fault matrix
	$(MAKE) --no-print-directory build PRESET=default
	bash Testing/outbox-kill-trials.sh build/default $(KILL_TRIALS)
	KESTRO_FAULT_MATRIX=full build/default/KestroCore/OutboxProcessor/KestroOutboxProcessorTests \
	  --gtest_filter='OutboxProcessorFaultTest.*'

asan: ## Build and test with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan)
	$(MAKE) --no-print-directory test PRESET=asan

tsan: ## Build and test with ThreadSanitizer (build/tsan)
	$(MAKE) --no-print-directory test PRESET=tsan

fuzz: ## Build the fuzz targets (build/fuzz) and run each for FUZZ_SECONDS seconds (300 unless given)
	$(MAKE) --no-print-directory build PRESET=fuzz
	bash Fuzz/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

install: ## Install the default build into build/default/install, or into PREFIX
	$(MAKE) --no-print-directory build PRESET=default
	cmake --install build/default $(if $(PREFIX),--prefix "$(abspath $(PREFIX))")

# $(call consume_install,<prefix>,<work dir>): builds and runs the consumer project against an
# installed tree, once through the CMake package and once through pkg-config. The prefix is a
# fresh one, away from the configured prefix, so the package and the .pc file must find their
# files from where they are.
define consume_install
	cmake -S cmake/install_test_project -B $(2)/cmake -G Ninja \
	  -DCMAKE_CXX_COMPILER=g++ \
	  -DCMAKE_PREFIX_PATH="$(abspath $(1))" \
	  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
	cmake --build $(2)/cmake --parallel $(JOBS)
	$(2)/cmake/kestro-install-test
	pc_dir=$$(find "$(abspath $(1))" -name kestrocore.pc -printf '%h\n'); \
	test -n "$$pc_dir" || { echo "install-test: no kestrocore.pc was installed"; exit 1; }; \
	flags=$$(PKG_CONFIG_PATH="$$pc_dir" pkg-config --cflags --libs kestrocore); \
	echo "pkg-config --cflags --libs kestrocore: $$flags"; \
	defines=""; \
	if test -d "$(abspath $(1))/include/KestroCore/API"; then defines=-DKESTRO_INSTALL_TEST_WITH_API; fi; \
	g++ -std=c++20 $$defines cmake/install_test_project/main.cpp $$flags \
	  -o $(2)/kestro-install-test-pkg-config
	$(2)/kestro-install-test-pkg-config
	bash cmake/install_test_project/check-headers.sh "$(abspath $(1))"
endef

install-test: ## Install (all, and without the API client), then build and run a consumer of each
	$(MAKE) --no-print-directory build PRESET=default
	rm -rf $(INSTALL_TEST_DIR)
	cmake --install build/default --prefix "$(abspath $(INSTALL_TEST_DIR))/prefix"
	$(call consume_install,$(INSTALL_TEST_DIR)/prefix,$(INSTALL_TEST_DIR)/full)
	@echo "install-test: a build without the API client must install none of its headers"
	cmake -S . -B $(INSTALL_TEST_DIR)/partial-build -G Ninja -DCMAKE_CXX_COMPILER=g++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRO_WITH_API=OFF \
	  -DKESTRO_BUILD_TESTS=OFF -DKESTRO_BUILD_BENCHMARKS=OFF
	cmake --build $(INSTALL_TEST_DIR)/partial-build --parallel $(JOBS)
	cmake --install $(INSTALL_TEST_DIR)/partial-build \
	  --prefix "$(abspath $(INSTALL_TEST_DIR))/partial-prefix"
	! find "$(abspath $(INSTALL_TEST_DIR))/partial-prefix/include" \
	  -path '*/API/*' -o -path '*/Platform/HTTP/*' | grep .
	! find "$(abspath $(INSTALL_TEST_DIR))/partial-prefix/include" -mindepth 1 -maxdepth 1 \
	  ! -name KestroCore | grep .
	$(call consume_install,$(INSTALL_TEST_DIR)/partial-prefix,$(INSTALL_TEST_DIR)/partial)

# The Debian packages from debian/ (debhelper, CMake with Debian's flags, no tests), into build/:
# the source is the tracked files as they are in the work tree, copied to build/deb/kestro-<version>.
# Then lintian on the whole upload (no error, no warning without an override in debian/) and
# hardening-check on every packaged program (but for control-flow protection, which Debian 12's
# flags leave out). debhelper gives the build a home of its own, so a compiler cache named in the
# environment (CMAKE_CXX_COMPILER_LAUNCHER=ccache) is told where the cache of the real home is.
deb: deps-package ## Build the Debian packages kestro and libkestrocore-dev into build/ and check them
	version=$$(dpkg-parsechangelog -S Version); \
	source_dir=$(DEB_DIR)/kestro-$$version; \
	rm -rf $(DEB_DIR) && mkdir -p "$$source_dir"; \
	git ls-files -z --cached --others --exclude-standard | \
	  tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$$source_dir"; \
	if command -v ccache >/dev/null; then export CCACHE_DIR=$${CCACHE_DIR:-$$(ccache -k cache_dir)}; fi; \
	(cd "$$source_dir" && DEB_BUILD_OPTIONS="nocheck parallel=$(JOBS)" dpkg-buildpackage -us -uc); \
	rm -f build/*_$$version[_.]*; \
	mv $(DEB_DIR)/*_$$version[_.]* build/; \
	lintian --fail-on error,warning build/kestro_$${version}_$$(dpkg --print-architecture).changes; \
	rm -rf $(DEB_DIR)/unpacked; \
	for deb in build/kestro_$$version*.deb build/libkestrocore-dev_$$version*.deb; do \
	  dpkg-deb -x "$$deb" $(DEB_DIR)/unpacked; \
	done; \
	hardening-check --nocfprotection $(DEB_DIR)/unpacked/usr/bin/*; \
	ls -l build/*_$$version*

deb-test: deps-test deb ## Build the packages, install them, use them, purge them and check that nothing is left
	bash Testing/deb-test.sh build

# The files clang-format looks after: our C++ sources and headers, wherever they are tracked.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')

format: deps-format ## Reformat every C++ file with the project's .clang-format
	clang-format -i $(FORMAT_FILES)

format-check: deps-format ## Fail if any C++ file differs from what clang-format would write
	@clang-format --dry-run --Werror $(FORMAT_FILES)
	@echo "format-check: $(words $(FORMAT_FILES)) files as clang-format writes them"

clean: ## Remove every build directory (build/)
	rm -rf build
