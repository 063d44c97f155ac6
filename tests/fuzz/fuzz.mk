# The fuzzers: the command line's, from the checked-in seeds, and the variable
# store's, from small NVRAM files that a program of its own writes. `make fuzz`
# runs each for FUZZ_SECONDS, `make fuzz-smoke` each for a fixed number of
# executions (run by `make test`). Both print the executions and executions
# per second. `make fuzz` also runs the cut simulator with CUT_SAMPLES random
# cuts per flush interval and torn write (the unit tests take 1). Included by
# the root Makefile, which builds the fuzzers in its check tree.

FUZZ_SECONDS ?= 60
FUZZ_SMOKE_RUNS ?= 20000
STORE_FUZZ_SMOKE_RUNS ?= 30000
FUZZ_DIR := $(BUILD)/fuzz
FUZZER := $(CHECK_TREE)/tests/fuzz/brisvane-fuzz
FUZZ_SEEDS := tests/fuzz/corpus
FUZZ_DICT := tests/fuzz/brisvane.dict
STORE_FUZZER := $(CHECK_TREE)/tests/nvram/brisvane-store-fuzz
STORE_SEEDS := $(CHECK_TREE)/tests/nvram/brisvane-store-seeds
CUT_SAMPLES ?= 16
CUT_TESTS := $(CHECK_TREE)/tests/nvram/brisvane_nvram_tests

# -runs and -max_total_time are added by each target; a crash, a leak or a
# broken invariant ends the run with its input saved under $(FUZZ_DIR)/crashes.
FUZZ_FLAGS := -max_len=4096 -timeout=20 -print_final_stats=1 -dict=$(FUZZ_DICT) \
	-artifact_prefix=$(FUZZ_DIR)/crashes/
STORE_FUZZ_FLAGS := -max_len=65536 -timeout=20 -print_final_stats=1 \
	-artifact_prefix=$(FUZZ_DIR)/crashes/store-

# Runs a fuzzer with its flags ($(4)) over a corpus folder ($(1)) with extra
# flags ($(2)), after a command ($(5)) given the folder has put the seeds
# there; keeps its output in a log ($(3)), shows the log's end if it failed,
# and prints the totals.
define run-fuzzer
	@mkdir -p $(FUZZ_DIR)/crashes $(1)
	@$(5) $(1)
	@$(4) $(2) $(1) >$(FUZZ_DIR)/$(3).log 2>&1 || \
	  { tail -n 40 $(FUZZ_DIR)/$(3).log; echo "$(3): failed; log in $(FUZZ_DIR)/$(3).log"; exit 1; }
	@awk -v name=$(3) '/^stat::number_of_executed_units:/ { runs = $$2 } \
	  /^stat::average_exec_per_sec:/ { rate = $$2 } \
	  /^stat::peak_rss_mb:/ { rss = $$2 } \
	  END { printf "%s: %d executions, %d exec/s, peak RSS %d MB, no fault found\n", name, runs, rate, rss }' \
	  $(FUZZ_DIR)/$(3).log
endef

.PHONY: fuzz fuzz-smoke fuzz-store fuzz-smoke-store fuzz-cuts

# The corpora grow in $(FUZZ_DIR) from one run to the next.
fuzz: check-build fuzz-store fuzz-cuts
	$(call run-fuzzer,$(FUZZ_DIR)/corpus,-max_total_time=$(FUZZ_SECONDS),fuzz,$(FUZZER) $(FUZZ_FLAGS),cp $(FUZZ_SEEDS)/*)

fuzz-store: check-build
	$(call run-fuzzer,$(FUZZ_DIR)/store-corpus,-max_total_time=$(FUZZ_SECONDS),fuzz-store,$(STORE_FUZZER) $(STORE_FUZZ_FLAGS),$(STORE_SEEDS))

# A fresh copy of the seeds and a fixed seed, so every smoke run is the same.
fuzz-smoke: check-build fuzz-smoke-store
	@rm -rf $(FUZZ_DIR)/smoke-corpus
	$(call run-fuzzer,$(FUZZ_DIR)/smoke-corpus,-runs=$(FUZZ_SMOKE_RUNS) -seed=1,fuzz-smoke,$(FUZZER) $(FUZZ_FLAGS),cp $(FUZZ_SEEDS)/*)

fuzz-smoke-store: check-build
	@rm -rf $(FUZZ_DIR)/store-smoke-corpus
	$(call run-fuzzer,$(FUZZ_DIR)/store-smoke-corpus,-runs=$(STORE_FUZZ_SMOKE_RUNS) -seed=1,fuzz-smoke-store,$(STORE_FUZZER) $(STORE_FUZZ_FLAGS),$(STORE_SEEDS))

fuzz-cuts: check-build
	@mkdir -p $(FUZZ_DIR)
	@BRISVANE_CUT_SAMPLES=$(CUT_SAMPLES) $(CUT_TESTS) --gtest_filter='*CutSimulatorTest*' \
	  >$(FUZZ_DIR)/cuts.log 2>&1 || \
	  { tail -n 40 $(FUZZ_DIR)/cuts.log; echo "fuzz-cuts: failed; log in $(FUZZ_DIR)/cuts.log"; exit 1; }
	@grep 'cut files checked' $(FUZZ_DIR)/cuts.log
