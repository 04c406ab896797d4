# The front door: `make test` installs what the build needs, builds and runs the tests.
# CMake does the work; this file only names the usual sequences. `make help` lists the targets.

SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -ec
.DEFAULT_GOAL := build

# Debian 12 packages: the libraries, the test and benchmark frameworks, the services the tests
# start, and the toolchain. The one list; `make deps` installs whatever of it is missing.
DEBIAN_PACKAGES := \
  libsqlite3-dev \
  libcurl4-openssl-dev \
  nlohmann-json3-dev \
  libssl-dev \
  libsecret-1-dev gnome-keyring dbus-daemon \
  libglib2.0-dev shared-mime-info \
  libcli11-dev \
  googletest libgtest-dev libcpp-httplib-dev \
  libbenchmark-dev \
  g++ cmake ninja-build pkg-config make \
  curl openssl time \
  clang-14 libclang-rt-14-dev

# Configure, build and test preset (see CMakePresets.json): default, asan or tsan.
PRESET ?= default
JOBS ?= 2
# Tests run one at a time unless asked otherwise; a single test case that runs this long is hung.
TEST_JOBS ?= 1
TEST_TIMEOUT ?= 300
# Where `make install` puts the default build; the preset's own choice when empty.
PREFIX ?=

INSTALL_TEST_DIR := build/install-test

.PHONY: help deps configure build test asan tsan install install-test clean

help: ## List the targets
	@echo "Usage: make <target> [PRESET=default|asan|tsan] [JOBS=$(JOBS)] [PREFIX=dir]"
	@grep -E '^[a-z-]+:.*## ' $(firstword $(MAKEFILE_LIST)) | \
	  awk 'BEGIN { FS = ":.*## " } { printf "  %-13s %s\n", $$1, $$2 }'

deps: ## Install the Debian packages the build and tests need (as root; skips apt when all are there)
	@missing=""; \
	for package in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${db:Status-Abbrev}' "$$package" 2>/dev/null | grep -q '^.i' \
	    || missing="$$missing $$package"; \
	done; \
	if [ -z "$$missing" ]; then \
	  echo "deps: all $(words $(DEBIAN_PACKAGES)) Debian packages are installed"; \
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

configure: deps ## Configure build/<preset> (PRESET=default unless given)
	cmake --preset $(PRESET)

build: configure ## Configure and build build/<preset> (the default goal)
	cmake --build --preset $(PRESET) --parallel $(JOBS)

test: deps build ## Install missing packages, configure, build and run the tests of build/<preset>
	ctest --preset $(PRESET) --no-tests=error --parallel $(TEST_JOBS) --timeout $(TEST_TIMEOUT)

asan: ## Build and test with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan)
	$(MAKE) --no-print-directory test PRESET=asan

tsan: ## Build and test with ThreadSanitizer (build/tsan)
	$(MAKE) --no-print-directory test PRESET=tsan

install: ## Install the default build into build/default/install, or into PREFIX
	$(MAKE) --no-print-directory build PRESET=default
	cmake --install build/default $(if $(PREFIX),--prefix "$(abspath $(PREFIX))")

# The installed tree is a fresh one under build/install-test/prefix, away from the configured
# prefix, so the package and the .pc file must find their files from where they are.
install-test: ## Install, then build and run a consumer with find_package and with pkg-config
	$(MAKE) --no-print-directory build PRESET=default
	rm -rf $(INSTALL_TEST_DIR)
	cmake --install build/default --prefix "$(abspath $(INSTALL_TEST_DIR))/prefix"
	cmake -S CMake/install_test_project -B $(INSTALL_TEST_DIR)/cmake -G Ninja \
	  -DCMAKE_CXX_COMPILER=g++ \
	  -DCMAKE_PREFIX_PATH="$(abspath $(INSTALL_TEST_DIR))/prefix" \
	  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
	cmake --build $(INSTALL_TEST_DIR)/cmake --parallel $(JOBS)
	$(INSTALL_TEST_DIR)/cmake/kestro-install-test
	pc_dir=$$(find "$(abspath $(INSTALL_TEST_DIR))/prefix" -name kestrocore.pc -printf '%h\n'); \
	test -n "$$pc_dir" || { echo "install-test: no kestrocore.pc was installed"; exit 1; }; \
	flags=$$(PKG_CONFIG_PATH="$$pc_dir" pkg-config --cflags --libs kestrocore); \
	echo "pkg-config --cflags --libs kestrocore: $$flags"; \
	g++ -std=c++20 CMake/install_test_project/main.cpp $$flags \
	  -o $(INSTALL_TEST_DIR)/kestro-install-test-pkg-config
	$(INSTALL_TEST_DIR)/kestro-install-test-pkg-config

clean: ## Remove every build directory (build/)
	rm -rf build
