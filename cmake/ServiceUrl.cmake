# The service origin is compiled in, so a wrong value must stop the configure step rather than
# produce an agent that sends credentials to an unexpected place or in clear text.
function(orvelquin_check_service_url url)
    if(NOT url MATCHES "^(https?)://([^/?#@]+)$")
        message(FATAL_ERROR
            "ORVELQUIN_SERVICE_URL must be an origin without path, such as https://orvelquin.example; got '${url}'")
    endif()
    set(scheme "${CMAKE_MATCH_1}")
    set(authority "${CMAKE_MATCH_2}")
    if(authority MATCHES "^\\[([0-9A-Fa-f:.]+)\\](:[0-9]+)?$")
        set(host "[${CMAKE_MATCH_1}]")
    elseif(authority MATCHES "^([^:]+)(:[0-9]+)?$")
        string(TOLOWER "${CMAKE_MATCH_1}" host)
    else()
        message(FATAL_ERROR "ORVELQUIN_SERVICE_URL has an invalid host or port: '${url}'")
    endif()
    if(scheme STREQUAL "https")
        return()
    endif()
    if(host STREQUAL "localhost" OR host STREQUAL "[::1]"
       OR host MATCHES "^127\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        return()
    endif()
    message(FATAL_ERROR
        "ORVELQUIN_SERVICE_URL may use http only on a loopback host (127.0.0.0/8, ::1, localhost); got '${url}'")
endfunction()
