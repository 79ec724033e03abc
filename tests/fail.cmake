# A test that fails with the message it is given: cmake -DMESSAGE=... -P fail.cmake
message(FATAL_ERROR "${MESSAGE}")
