# JUCE is compiled once, into a small static library; its include folders and
# compile definitions are re-exported so Kestrix's targets see one JUCE.
find_package(JUCE CONFIG REQUIRED)

set(KESTRIX_JUCE_MODULES juce_audio_devices juce_audio_basics juce_events juce_core)

add_library(kestrix_juce STATIC)
target_link_libraries(kestrix_juce PRIVATE
  juce::juce_audio_devices juce::juce_audio_basics juce::juce_events juce::juce_core)
target_compile_definitions(kestrix_juce PUBLIC
  JUCE_USE_CURL=0
  JUCE_WEB_BROWSER=0
  JUCE_STANDALONE_APPLICATION=0
  JUCE_DISPLAY_SPLASH_SCREEN=0
  JUCE_JACK=0
  JUCE_ALSA=1)
foreach(module IN LISTS KESTRIX_JUCE_MODULES)
  get_target_property(includes juce::${module} INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(definitions juce::${module} INTERFACE_COMPILE_DEFINITIONS)
  target_include_directories(kestrix_juce SYSTEM INTERFACE ${includes})
  if(definitions)
    target_compile_definitions(kestrix_juce INTERFACE ${definitions})
  endif()
endforeach()
find_package(ALSA REQUIRED)
find_package(Threads REQUIRED)
target_link_libraries(kestrix_juce PUBLIC ALSA::ALSA Threads::Threads ${CMAKE_DL_LIBS})
add_library(kestrix::juce ALIAS kestrix_juce)
