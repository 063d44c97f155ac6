# The command-line fuzzer: `make fuzz` runs it for FUZZ_SECONDS from the
# checked-in seeds, `make fuzz-smoke` for a fixed number of executions (run
# by `make test`). Both print the executions and executions per second.
# Included by the root Makefile, which defines BUILD and the packages target.

FUZZ_SECONDS ?= 60
FUZZ_SMOKE_RUNS ?= 20000
FUZZ_DIR := $(BUILD)/fuzz
FUZZER := $(FUZZ_DIR)/brisvane-fuzz
FUZZ_SEEDS := tests/fuzz/corpus
FUZZ_DICT := tests/fuzz/brisvane.dict

FUZZ_SOURCES := app/ApplicationMain.cpp app/ShellArguments.cpp command/Dispatch.cpp \
	command/SetStartupOptions.cpp command/StartupOptionTable.cpp command/Usage.cpp \
	store/StartupOptionStore.cpp platform/linux/FirmwareRoutines.cpp tests/host/HostPlatform.cpp tests/fuzz/CommandLineFuzzer.cpp
FUZZ_HEADERS := $(wildcard app/*.h command/*.h store/*.h platform/*.h platform/linux/*.h tests/host/*.h)
FUZZ_CXXFLAGS := -std=c++17 -g -O1 -Wall -Wextra -Werror -DBRISVANE_HOST_BUILD -I. -Iplatform/linux -Itests/host \
	-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

# -runs and -max_total_time are added by each target; a crash, a leak or a
# broken invariant ends the run with its input saved under $(FUZZ_DIR)/crashes.
FUZZ_FLAGS := -max_len=4096 -timeout=20 -print_final_stats=1 -dict=$(FUZZ_DICT) \
	-artifact_prefix=$(FUZZ_DIR)/crashes/

# Runs the fuzzer over a corpus folder with extra flags, keeps its output in
# a log, shows the log's end if it failed, and prints the totals.
define run-fuzzer
	@mkdir -p $(FUZZ_DIR)/crashes $(1)
	@cp $(FUZZ_SEEDS)/* $(1)/
	@$(FUZZER) $(FUZZ_FLAGS) $(2) $(1) >$(FUZZ_DIR)/$(3).log 2>&1 || \
	  { tail -n 40 $(FUZZ_DIR)/$(3).log; echo "$(3): failed; log in $(FUZZ_DIR)/$(3).log"; exit 1; }
	@awk -v name=$(3) '/^stat::number_of_executed_units:/ { runs = $$2 } \
	  /^stat::average_exec_per_sec:/ { rate = $$2 } \
	  /^stat::peak_rss_mb:/ { rss = $$2 } \
	  END { printf "%s: %d executions, %d exec/s, peak RSS %d MB, no fault found\n", name, runs, rate, rss }' \
	  $(FUZZ_DIR)/$(3).log
endef

.PHONY: fuzz fuzz-smoke fuzzer

fuzzer: $(FUZZER)

$(FUZZER): $(FUZZ_SOURCES) $(FUZZ_HEADERS) tests/fuzz/fuzz.mk | packages
	@mkdir -p $(FUZZ_DIR)
	@clang++ $(FUZZ_CXXFLAGS) $(FUZZ_SOURCES) -o $@

# The corpus grows in $(FUZZ_DIR)/corpus from one run to the next.
fuzz: $(FUZZER)
	$(call run-fuzzer,$(FUZZ_DIR)/corpus,-max_total_time=$(FUZZ_SECONDS),fuzz)

# A fresh copy of the seeds and a fixed seed, so every smoke run is the same.
fuzz-smoke: $(FUZZER)
	@rm -rf $(FUZZ_DIR)/smoke-corpus
	$(call run-fuzzer,$(FUZZ_DIR)/smoke-corpus,-runs=$(FUZZ_SMOKE_RUNS) -seed=1,fuzz-smoke)
