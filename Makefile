# Quick start: `make run` and `make test`. Plain `make` only builds.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
THREAD_BUILD ?= build-thread
JOBS ?= 2
# The checkers' trees are built a target at a time in one unit: half the time on 2 cores.
CHECK_FLAGS ?= -DCMAKE_UNITY_BUILD=ON -DKELVANE_BENCH=OFF

.PHONY: all bench fuzz fuzz-smoke build deps run check-sizes test test-sanitize test-thread test-console-only package package-check install-package format clean

all: build

build:
	@test -f $(BUILD)/build.ninja || cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install_deps.sh

run: deps build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "No desktop to open the window on. The console program runs anywhere:"; \
	  echo "  ./$(BUILD)/kelvane-cli --save-to DIR URL     (./$(BUILD)/kelvane-cli --help for more)"; \
	else ./$(BUILD)/kelvane; fi

# No source file over 500 lines, no function of logic over 50.
check-sizes:
	@scripts/check_sizes.sh

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 300

# Everything again with AddressSanitizer and UndefinedBehaviorSanitizer, but the tests that judge
# a copy in Chromium: the browser's time is most of theirs, and the release run has them.
test-sanitize: deps
	@test -f $(SANITIZE_BUILD)/build.ninja || \
	  cmake -S . -B $(SANITIZE_BUILD) -G Ninja -DKELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug $(CHECK_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j $(JOBS) --timeout 300 \
	  -E '^(Browser|Render)[.]'

# The tests that run a crawl on a worker thread beside the window, the console program or a
# test's own server, with ThreadSanitizer. Qt is not built with it, so its own synchronisation
# is invisible to the checker: tsan.supp names the few reports that come from that alone. The
# conversion of a 4 MB page, on one thread, is left to the other stages.
THREAD_TESTS = Window|Cli\.|OfflineCopy|Archive\.|Parallel\.|CrawlSession|CrawlRoads|RoadsAgree|TransferSlots|HostileServer|FetchTest|CrashSafety|MirrorEndToEnd
THREAD_TARGETS = ui_tests cli_tests crawl_tests e2e_tests platform_tests
test-thread: deps
	@test -f $(THREAD_BUILD)/build.ninja || \
	  cmake -S . -B $(THREAD_BUILD) -G Ninja -DKELVANE_THREAD_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CHECK_FLAGS)
	cmake --build $(THREAD_BUILD) -j $(JOBS) --target $(THREAD_TARGETS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir $(THREAD_BUILD) --output-on-failure -j $(JOBS) --timeout 300 -R '$(THREAD_TESTS)' \
	  -E 'PagesGrownByConversionStayWhole'

# The console program alone, as a server builds it: neither Qt nor chmcmd is looked for. Its
# own tests run; the engine's ran in the trees before, and so did the browser's.
CONSOLE_BUILD ?= build-console
test-console-only: deps
	@test -f $(CONSOLE_BUILD)/build.ninja || cmake -S . -B $(CONSOLE_BUILD) -G Ninja \
	  -DKELVANE_GUI=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON $(CHECK_FLAGS)
	cmake --build $(CONSOLE_BUILD) -j $(JOBS) --target kelvane-cli cli_tests e2e_tests
	ctest --test-dir $(CONSOLE_BUILD) --output-on-failure -j $(JOBS) --timeout 300 \
	  -E '_NOT_BUILT$$|^FuzzCorpus[.]|^Render[.]'

# A .deb of the two programs, the help file, the icon, the menu entry and the manual page.
package: deps build
	cd $(BUILD) && cpack -G DEB

# The package, its menu entry and its software-centre entry as Debian's checkers see them: no
# error and no warning.
package-check: package
	@scripts/install_deps.sh lintian appstream desktop-file-utils
	lintian --fail-on error,warning $(BUILD)/kelvane_*.deb
	appstreamcli validate --no-net resources/kelvane.metainfo.xml
	desktop-file-validate resources/kelvane.desktop

# Installs that package here and checks that the installed program runs.
install-package: package
	apt-get install -y -qq --reinstall ./$(BUILD)/kelvane_*.deb
	kelvane-cli --version

# Each fuzzer for FUZZ_SECONDS (default 60) from its seed corpus; any finding fails, an input
# that takes more than 3 s included.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZERS = scan_page_fuzzer push_fuzzer mirror_paths_fuzzer fetch_cuts_fuzzer placement_fuzzer \
  page_reader_fuzzer stylesheet_reader_fuzzer complete_page_paths_fuzzer content_decoding_fuzzer \
  robots_fuzzer link_converter_fuzzer answer_framing_fuzzer warc_record_fuzzer
fuzz: deps
	@test -f $(FUZZ_BUILD)/build.ninja || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DKELVANE_FUZZ=ON -DKELVANE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CHECK_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZERS)
	for f in $(FUZZERS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$f && \
	  ./$(FUZZ_BUILD)/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -timeout=3 -print_final_stats=1 \
	    $(FUZZ_BUILD)/corpus/$$f fuzz/corpus/$$f || exit 1; \
	done

# What CI runs: each fuzzer for 12 s.
fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=8

# Micro-benchmarks, the crawl benchmark against wget and the wire ceiling, then the remote site.
bench: deps build
	./$(BUILD)/kelvane_micro_bench
	bench/run.sh $(BUILD)
	bench/remote.sh $(BUILD)

format:
	find crawl support platform cli ui bench fuzz tests -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(THREAD_BUILD) $(FUZZ_BUILD) $(CONSOLE_BUILD)
