# The libFuzzer targets, one per input surface: built by fuzz/CMakeLists.txt
# with clang, and replayed on their seed corpora by tests/CMakeLists.txt.
set(ZUIC_FUZZ_TARGETS
  fuzz_atr fuzz_bcd fuzz_card_ops fuzz_cbc fuzz_desmac fuzz_hash fuzz_hex fuzz_ip fuzz_pkcs1
  fuzz_reader fuzz_sim)
