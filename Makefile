# `make run` and `make test` do all the set-up on a fresh Debian 12 machine.
BUILD       ?= build
BUILD_ASAN  ?= build-asan
JOBS        ?= $(shell nproc)
CMAKE_FLAGS ?=
ifeq ($(CI),true)
  CMAKE_FLAGS += -DQUIL_WERROR=ON
endif

.PHONY: all deps build run test test-asan format format-check install deb demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	$(BUILD)/quilmon7400

test: build
	bash scripts/run-tests.sh $(BUILD)

test-asan: deps
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DQUIL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD_ASAN) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 bash scripts/run-tests.sh $(BUILD_ASAN)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

install: build
	cmake --install $(BUILD)

deb: build
	cd $(BUILD) && cpack -G DEB

demo: build
	bash scripts/demo.sh $(BUILD)

bench: build
	bash scripts/run-bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
