test_that("the four routines are registered with their argument counts", {
  routines <- getDLLRegisteredRoutines("Tolvendra")
  calls <- routines$.Call
  expect_equal(names(calls),
               c("gcoverage", "ghistogram", "regionmining", "splicingind"))
  expect_equal(unname(vapply(calls, function(r) r$numParameters, 0L)),
               c(3L, 3L, 4L, 3L))
  expect_length(routines$.C, 0)
  expect_length(routines$.External, 0)
})

test_that("R refuses a call with the wrong number of arguments", {
  expect_error(native("gcoverage", 1L, 1L), "Incorrect number of arguments")
  expect_error(native("regionmining", 1L, 1L, 1L),
               "Incorrect number of arguments")
})
