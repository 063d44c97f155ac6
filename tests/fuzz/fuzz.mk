# The command-line fuzzer: `make fuzz` runs it for FUZZ_SECONDS from the
# checked-in seeds, `make fuzz-smoke` for a fixed number of executions (run
# by `make test`). Both print the executions and executions per second.
# Included by the root Makefile, which builds the fuzzer in its check tree.

FUZZ_SECONDS ?= 60
FUZZ_SMOKE_RUNS ?= 20000
FUZZ_DIR := $(BUILD)/fuzz
FUZZER := $(CHECK_TREE)/tests/fuzz/brisvane-fuzz
FUZZ_SEEDS := tests/fuzz/corpus
FUZZ_DICT := tests/fuzz/brisvane.dict

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

.PHONY: fuzz fuzz-smoke

# The corpus grows in $(FUZZ_DIR)/corpus from one run to the next.
fuzz: check-build
	$(call run-fuzzer,$(FUZZ_DIR)/corpus,-max_total_time=$(FUZZ_SECONDS),fuzz)

# A fresh copy of the seeds and a fixed seed, so every smoke run is the same.
fuzz-smoke: check-build
	@rm -rf $(FUZZ_DIR)/smoke-corpus
	$(call run-fuzzer,$(FUZZ_DIR)/smoke-corpus,-runs=$(FUZZ_SMOKE_RUNS) -seed=1,fuzz-smoke)
