# Machine facts read from fixture trees.
project_add_test(NAME machine_facts_test SOURCES MachineFactsTest.cpp LIBS platform TIMEOUT 60)
