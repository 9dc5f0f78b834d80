// The toolbar button opens the printing page in a tab.
chrome.action.onClicked.addListener(() => chrome.tabs.create({ url: 'print.html' }));
