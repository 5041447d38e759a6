# One Wine session (Xvfb display + persistent wineserver on a scratch prefix)
# shared by every Windows-side test, started and stopped as CTest fixtures.
set(wine_session_dir ${PROJECT_BINARY_DIR}/wine)
add_test(NAME wine_session_start COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine-session.sh start ${wine_session_dir})
add_test(NAME wine_session_stop COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/wine-session.sh stop ${wine_session_dir})
set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine_session)
set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)
