# The two commands of the quick start. Both install what is missing and build first.
.PHONY: run test
run:
	@bash scripts/run.sh
test:
	@bash scripts/test.sh
