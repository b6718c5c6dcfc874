# make run   - install what is missing, build, start the window
# make test  - install what is missing, build with warnings as errors, run every test
#              (SANITIZE=1: ASan + UBSan in build-san/)
# make bench - benchmarks against prips / shuf, libmaxminddb, dig -f / dnsperf (bench/run.sh)
# make fuzz  - long fuzzing sessions with libFuzzer (clang 14)
# make package - the Debian package zarvo_VERSION_ARCH.deb in this folder (cpack, from build/)
# make format-check - every C++ source of the tree against .clang-format (clang-format 14, Debian's)
# make format  - rewrites the sources that differ from .clang-format

SANITIZE ?= 0
WERROR ?= 1
JOBS ?= $(shell nproc)
CMAKE_FLAGS += -DZARVO_WERROR=$(if $(filter 1,$(WERROR)),ON,OFF)
ifeq ($(SANITIZE),1)
BUILD ?= build-san
CMAKE_FLAGS += -DZARVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
else
BUILD ?= build
CMAKE_FLAGS += -DCMAKE_BUILD_TYPE=RelWithDebInfo
endif

.PHONY: all deps configure build test run bench fuzz package format format-check clean

all: build

deps:
	@scripts/deps.sh build test app format

# Configured on every build, so that a changed flag (WERROR, SANITIZE) takes effect.
configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The C++ sources git knows of: files made by a build or not yet added stay out.
FORMAT_FILES = git ls-files -z -- '*.cpp' '*.h'

format-check:
	@scripts/deps.sh format
	@$(FORMAT_FILES) | xargs -0 clang-format --dry-run --Werror \
		|| { echo "Formatting differs from .clang-format: run 'make format'" >&2; exit 1; }

format:
	@scripts/deps.sh format
	@$(FORMAT_FILES) | xargs -0 clang-format -i

run: build
	@scripts/run-app.sh $(BUILD)

bench:
	@scripts/deps.sh build bench
	@cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && cmake --build build -j $(JOBS)
	@bench/run.sh build

fuzz:
	@scripts/deps.sh build fuzz
	@fuzz/run.sh $(FUZZ_SECONDS)

ifeq ($(SANITIZE),1)
package:
	@echo "make package builds the release tree; leave SANITIZE unset" >&2; exit 2
else
package: build
	@scripts/deps.sh package
	@rm -f $(BUILD)/package/*.deb
	@cpack --config $(BUILD)/CPackConfig.cmake -B $(BUILD)/package >/dev/null
	@for f in $(BUILD)/package/*.deb; do cp "$$f" . && ls -l "$${f##*/}"; done
endif

clean:
	rm -rf build build-san build-fuzz
