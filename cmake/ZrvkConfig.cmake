include(${CMAKE_CURRENT_LIST_DIR}/ZrvkVersionFiles.cmake)

# Every host, address and folder that the installer compiles in is a cache
# variable here; tests and the demo point them at loopback servers and a sandbox.
set(ZRVK_ROOT_PREFIX "" CACHE STRING "Prefix put in front of every compiled-in folder (Linux and macOS)")
set(ZRVK_MANIFEST_URL "https://get.zorvik.example/installer/manifest.json" CACHE STRING "Manifest address")
set(ZRVK_WEBSITE_URL "https://zorvik.example" CACHE STRING "The maker's web site")
set(ZRVK_PLACEHOLDER_IMAGE_URL "https://placehold.co" CACHE STRING "Placeholder-image service")
set(ZRVK_GITHUB_PROXY_HOSTS "ghfast.top;gh-proxy.com" CACHE STRING "GitHub proxy hosts, tried after the direct attempt")
set(ZRVK_HF_MIRROR_HOST "hf-mirror.com" CACHE STRING "Hugging Face mirror host")
set(ZRVK_ANALYTICS_HOST "https://us.i.posthog.com" CACHE STRING "Analytics ingestion host")
set(ZRVK_ANALYTICS_API_KEY "phc_Qm4Ld8Rt2Vx6Nz0Kc5Jw9Hp3Fb7Gs1Ty4Ue8Ia2Oo6P" CACHE STRING "Analytics project key")
set(ZRVK_WEBVIEW2_LINK_ORIGIN "https://go.microsoft.com" CACHE STRING "Origin of the WebView2 bootstrapper link")

option(ZRVK_ALLOW_HTTP "Allow plain http transfers (tests and the demo serve their catalogues on loopback)" OFF)

# Loopback values for the test flavour and the end-to-end program.
set(ZRVK_TEST_PORT "38471" CACHE STRING "Fixed loopback port of the end-to-end catalogue server")

function(zrvk_check_prefix prefix)
  if(prefix MATCHES "[\"$`\\\\]")
    message(FATAL_ERROR "ZRVK_ROOT_PREFIX must not hold a double quote, a dollar sign, a backquote or a backslash: ${prefix}")
  endif()
endfunction()
zrvk_check_prefix("${ZRVK_ROOT_PREFIX}")

# zrvk_write_build_config(<dir> KEY VALUE ...) writes <dir>/zrvk_build_config.h
# from the given values (missing ones take the cache values). Its inputs are
# found from this file, so the Windows test program's own project can use it too.
function(zrvk_write_build_config dir)
  set(ROOT_PREFIX "${ZRVK_ROOT_PREFIX}")
  set(MANIFEST_URL "${ZRVK_MANIFEST_URL}")
  set(WEBSITE_URL "${ZRVK_WEBSITE_URL}")
  set(PLACEHOLDER_IMAGE_URL "${ZRVK_PLACEHOLDER_IMAGE_URL}")
  set(GITHUB_PROXY_HOSTS "${ZRVK_GITHUB_PROXY_HOSTS}")
  set(HF_MIRROR_HOST "${ZRVK_HF_MIRROR_HOST}")
  set(ANALYTICS_HOST "${ZRVK_ANALYTICS_HOST}")
  set(ANALYTICS_API_KEY "${ZRVK_ANALYTICS_API_KEY}")
  set(WEBVIEW2_LINK_ORIGIN "${ZRVK_WEBVIEW2_LINK_ORIGIN}")
  set(ALLOW_HTTP "${ZRVK_ALLOW_HTTP}")
  set(args ${ARGN})
  while(args)
    list(POP_FRONT args key value)
    set(${key} "${value}")
  endwhile()
  zrvk_check_prefix("${ROOT_PREFIX}")
  # Every transfer is https unless plain http is allowed, redirects included.
  if(ALLOW_HTTP)
    set(TRANSFER_PROTOCOLS "http,https")
  else()
    set(TRANSFER_PROTOCOLS "https")
    foreach(address MANIFEST_URL ANALYTICS_HOST WEBVIEW2_LINK_ORIGIN)
      if(NOT "${${address}}" MATCHES "^https://")
        message(FATAL_ERROR "ZRVK_${address} must be an https address unless ZRVK_ALLOW_HTTP is ON: ${${address}}")
      endif()
    endforeach()
  endif()
  string(REPLACE ";" "," GITHUB_PROXY_HOSTS "${GITHUB_PROXY_HOSTS}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/zrvk_build_config.h.in ${dir}/zrvk_build_config.h @ONLY)
  zrvk_write_version_files(${dir})
  # The page names its addresses by the cache names; give them this flavour's values.
  set(ZRVK_WEBSITE_URL "${WEBSITE_URL}")
  set(ZRVK_PLACEHOLDER_IMAGE_URL "${PLACEHOLDER_IMAGE_URL}")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../resources/installer.html ${dir}/installer.html @ONLY)
endfunction()
