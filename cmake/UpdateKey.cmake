# The key that signs update manifests. ORBA_UPDATE_PUBLIC_KEY names the deployment's public key
# (a PEM file); the library is built with it and refuses manifests it did not sign. Without it, a
# development key pair is made once in the build folder: the build signs its own deployment and
# orba-devserver signs what it serves with it, so the whole road can be tried on one machine.
#
# Sets ORBA_UPDATE_PUBLIC_KEY_HEX (the 32-byte Ed25519 key as 64 hex digits) and
# ORBA_UPDATE_SIGNING_KEY (the development private key; empty when a public key was given, so the
# deployment the build makes is then unsigned and signed by whoever holds the key).
set(ORBA_UPDATE_PUBLIC_KEY "" CACHE FILEPATH "PEM file of the Ed25519 public key that signs update manifests")
find_program(ORBA_OPENSSL_PROGRAM openssl REQUIRED)

set(keys ${CMAKE_BINARY_DIR}/update-keys)
file(MAKE_DIRECTORY ${keys})
if(ORBA_UPDATE_PUBLIC_KEY)
  set(public_pem ${ORBA_UPDATE_PUBLIC_KEY})
  set(ORBA_UPDATE_SIGNING_KEY "")
else()
  set(ORBA_UPDATE_SIGNING_KEY ${keys}/development-private.pem)
  set(public_pem ${keys}/development-public.pem)
  if(NOT EXISTS ${ORBA_UPDATE_SIGNING_KEY})
    execute_process(COMMAND ${ORBA_OPENSSL_PROGRAM} genpkey -algorithm ed25519 -out ${ORBA_UPDATE_SIGNING_KEY}
                    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
    if(failed)
      message(FATAL_ERROR "could not make the development update key: ${error}")
    endif()
  endif()
  execute_process(COMMAND ${ORBA_OPENSSL_PROGRAM} pkey -in ${ORBA_UPDATE_SIGNING_KEY} -pubout -out ${public_pem}
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed)
    message(FATAL_ERROR "could not read the development update key ${ORBA_UPDATE_SIGNING_KEY}")
  endif()
  message(STATUS "ORBA: no ORBA_UPDATE_PUBLIC_KEY given; updates are signed with the development key "
                 "${ORBA_UPDATE_SIGNING_KEY} (for this build folder only)")
endif()

execute_process(COMMAND ${ORBA_OPENSSL_PROGRAM} pkey -pubin -in ${public_pem} -outform DER -out ${keys}/public.der
                RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
if(failed)
  message(FATAL_ERROR "ORBA_UPDATE_PUBLIC_KEY: ${public_pem} is not a PEM public key")
endif()
file(READ ${keys}/public.der der HEX)
string(LENGTH "${der}" der_length)
# An Ed25519 SubjectPublicKeyInfo is 44 bytes: a fixed 12-byte prefix, then the key.
if(NOT der_length EQUAL 88 OR NOT der MATCHES "^302a300506032b6570032100")
  message(FATAL_ERROR "ORBA_UPDATE_PUBLIC_KEY: ${public_pem} is not an Ed25519 public key")
endif()
string(SUBSTRING "${der}" 24 64 ORBA_UPDATE_PUBLIC_KEY_HEX)
set(ORBA_UPDATE_PUBLIC_KEY_PEM ${public_pem})
