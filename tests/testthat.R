library(testthat)
library(Tolvendra)

test_check("Tolvendra")
