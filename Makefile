# One command per job: `make` builds, `make test` runs every test in a normal
# and a sanitizer (ASan+UBSan) build, `make demo` runs the main job on the
# bundled example data, `make bench` times every stage against its floors
# and then the learning driver end to end at n = 24 and 26 (`make bench
# BENCH_ARGS="--n 20,22" END_TO_END_ARGS="--n 20"`; see bench/run --help
# and bench/end_to_end.sh; `make bench-end-to-end` runs the second part
# alone), `make fuzz`
# fuzzes every text reader with AFL++ (FUZZ_SECONDS per target, default 60).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
BENCH_ARGS ?=
END_TO_END_ARGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all build build-asan build-fuzz needs test test-normal test-asan fuzz demo bench bench-end-to-end clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

# What the tests need (tests/needs.sh): installed where it can be, else one
# line naming each missing package, before anything is built.
needs:
	bash tests/needs.sh

test-normal: needs
	$(MAKE) build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-asan: needs
	$(MAKE) build-asan
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test: test-normal test-asan

# The fuzzing build: AFL++ instrumentation, ASan+UBSan, every UBSan finding
# fatal, and its own result folder for import_family_table.
build-fuzz:
	bash tests/needs.sh fuzz
	CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=all" \
	  -DSANITIZE=ON -DBUILD_TESTS=OFF -DBUILD_BENCH=OFF -DBUILD_FUZZ=ON \
	  -DRESULT_DIR_PREFIX=$(CURDIR)/build-fuzz/import
	AFL_QUIET=1 cmake --build build-fuzz -j $(JOBS)

fuzz: build-fuzz
	bash tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: build
	bash examples/demo.sh build/bin

bench: build
	bash bench/run $(BENCH_ARGS)
	bash bench/end_to_end.sh $(END_TO_END_ARGS)

# learn_optimal_network end to end at n = 24 and 26 with 1,000 rows (not in
# CI): each stage's time, peak resident memory and peak disk
# (`make bench-end-to-end END_TO_END_ARGS="--n 20"`; see bench/end_to_end.sh).
bench-end-to-end: build
	bash bench/end_to_end.sh $(END_TO_END_ARGS)

clean:
	rm -rf build build-asan build-fuzz

# tests/RELIABILITY.md from a run of the fault-injection tests (and the
# fuzzing summary, when `make fuzz` has left one).
.PHONY: reliability
reliability: build
	bash tests/reliability.sh build
